#pragma once
// Attaches an object to an existing control of a dialog by subclassing it, so the
// object handles that control's messages. What it does not handle goes on to the
// control's own window procedure.
#include <windows.h>

namespace pw {

class SubclassedControl {
 public:
  SubclassedControl() noexcept = default;
  SubclassedControl(const SubclassedControl&) = delete;
  SubclassedControl& operator=(const SubclassedControl&) = delete;
  virtual ~SubclassedControl();

  // Attaches to control `id` of `dialog`. Attaching the same window again does
  // nothing; returns false when there is no such control.
  bool attach(HWND dialog, int id) noexcept;
  bool attach(HWND control) noexcept;
  void detach() noexcept;
  HWND hwnd() const noexcept { return hwnd_; }

 protected:
  // Called for every message of the attached window; the default passes it on.
  virtual LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) noexcept;
  // The window is being destroyed; the object is detached from it right after.
  virtual void window_gone() noexcept {}
  LRESULT default_handling(UINT msg, WPARAM wp, LPARAM lp) noexcept;
  LRESULT send(UINT msg, WPARAM wp, LPARAM lp) const noexcept { return ::SendMessageA(hwnd_, msg, wp, lp); }

 private:
  static LRESULT CALLBACK subclass_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                                        DWORD_PTR ref) noexcept;
  HWND hwnd_ = nullptr;
};

}  // namespace pw
