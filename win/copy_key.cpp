#include "win/copy_key.h"

#include <new>
#include <string>

#include "win/clipboard.h"
#include "win/message_loop.h"
#include "win/wide_text.h"

namespace pw {

namespace {
thread_local CopyKeyHook* t_copy_hook = nullptr;
// The static control that holds a message box's text.
constexpr int kMessageBoxTextId = 0xFFFF;
}  // namespace

CopyKeyHook::CopyKeyHook(Handler on_copy, void* context) noexcept : on_copy_(on_copy), context_(context) {
  if (t_copy_hook != nullptr) return;
  hook_ = ::SetWindowsHookExW(WH_KEYBOARD, &CopyKeyHook::on_key, nullptr, ::GetCurrentThreadId());
  if (hook_) t_copy_hook = this;
}

CopyKeyHook::~CopyKeyHook() {
  if (!hook_) return;
  ::UnhookWindowsHookEx(hook_);
  t_copy_hook = nullptr;
}

LRESULT CALLBACK CopyKeyHook::on_key(int code, WPARAM key, LPARAM flags) noexcept {
  CopyKeyHook* self = t_copy_hook;
  const bool key_down = (flags & (1u << 31)) == 0;
  const bool alone_with_ctrl =
      ::GetKeyState(VK_CONTROL) < 0 && ::GetKeyState(VK_MENU) >= 0 && ::GetKeyState(VK_SHIFT) >= 0;
  if (self && code == HC_ACTION && key == 'C' && alone_with_ctrl) {
    // The repeat and the release are eaten too, so the window sees no half of it.
    // A key dropped unread (typed while the window was frozen) copies nothing.
    if (key_down && (flags & (1u << 30)) == 0 && !input_being_discarded()) self->on_copy_(self->context_, ::GetActiveWindow());
    return 1;
  }
  return ::CallNextHookEx(self ? self->hook_ : nullptr, code, key, flags);
}

std::wstring message_box_text_of(HWND box) {
  HWND text_control = ::GetDlgItem(box, kMessageBoxTextId);
  if (!text_control) return std::wstring();
  const int length = ::GetWindowTextLengthW(text_control);
  std::wstring raw(static_cast<std::size_t>(length) + 1, L'\0');
  raw.resize(static_cast<std::size_t>(::GetWindowTextW(text_control, &raw[0], length + 1)));
  std::wstring text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == L'\r') continue;
    if (raw[i] == L'\n') text += L'\r';
    text += raw[i];
  }
  return text;
}

bool copy_details(HWND active, const std::string& details) noexcept {
  try {
    const std::wstring box = message_box_text_of(active);
    return copy_to_clipboard(active, box.empty() ? details : narrow(box) + "\r\n\r\n" + details);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace pw
