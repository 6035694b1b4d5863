#include "win/quit_hook.h"

namespace pw {

namespace {
// One hooked thread per process: the window thread of the updater.
HWND g_window = nullptr;
UINT g_notify = 0;
}  // namespace

QuitHook::~QuitHook() { remove(); }

bool QuitHook::install(HWND window, UINT notify) noexcept {
  remove();
  g_window = window;
  g_notify = notify;
  hook_ = ::SetWindowsHookExW(WH_GETMESSAGE, &QuitHook::on_message, nullptr, ::GetCurrentThreadId());
  return hook_ != nullptr;
}

void QuitHook::remove() noexcept {
  if (hook_) ::UnhookWindowsHookEx(hook_);
  hook_ = nullptr;
  g_window = nullptr;
}

LRESULT CALLBACK QuitHook::on_message(int code, WPARAM removed, LPARAM message) noexcept {
  auto* msg = reinterpret_cast<MSG*>(message);
  if (code == HC_ACTION && removed == PM_REMOVE && msg && msg->message == WM_QUIT && g_window) {
    msg->message = WM_NULL;  // the loop that retrieved it goes on
    ::PostMessageW(g_window, g_notify, msg->wParam, 0);
  }
  return ::CallNextHookEx(nullptr, code, removed, message);
}

}  // namespace pw
