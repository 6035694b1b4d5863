#pragma once
// A WM_QUIT another program posts to this thread would end whichever message loop
// runs (the dialog's, a box's, the console program's) in the middle of an update.
// While this hook is in place each one is taken out of the thread's queue as it
// is retrieved, turned into a harmless WM_NULL, and `notify` is posted to `window`
// instead, so the workflow decides when to end.
#include <windows.h>

namespace pw {

class QuitHook {
 public:
  QuitHook() noexcept = default;
  ~QuitHook();
  QuitHook(const QuitHook&) = delete;
  QuitHook& operator=(const QuitHook&) = delete;

  // On the thread whose WM_QUIT is to be caught. false when the hook cannot be set.
  bool install(HWND window, UINT notify) noexcept;
  void remove() noexcept;

 private:
  static LRESULT CALLBACK on_message(int code, WPARAM removed, LPARAM message) noexcept;
  HHOOK hook_ = nullptr;
};

}  // namespace pw
