#pragma once
#include <windows.h>

#include <string>

namespace pw {

// While it lives, Ctrl+C pressed in any window of the creating thread (the main
// window, a box, a menu's owner) calls `on_copy` with the thread's active window
// instead of reaching that window, so a box's own copy does not replace what
// `on_copy` puts on the clipboard. One per thread.
class CopyKeyHook {
 public:
  using Handler = void (*)(void* context, HWND active) noexcept;
  CopyKeyHook(Handler on_copy, void* context) noexcept;
  ~CopyKeyHook();
  CopyKeyHook(const CopyKeyHook&) = delete;
  CopyKeyHook& operator=(const CopyKeyHook&) = delete;

  bool installed() const noexcept { return hook_ != nullptr; }

 private:
  static LRESULT CALLBACK on_key(int code, WPARAM key, LPARAM flags) noexcept;
  HHOOK hook_ = nullptr;
  Handler on_copy_;
  void* context_;
};

// The text of a message box (its static text), with CR LF line breaks; empty for
// a window that is no message box.
std::wstring message_box_text_of(HWND box);

// Puts `details` on the clipboard, preceded by the box's text and a blank line
// when `active` is a message box. False when the clipboard could not take them.
bool copy_details(HWND active, const std::string& details) noexcept;

}  // namespace pw
