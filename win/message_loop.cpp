#include "win/message_loop.h"

namespace pw {

void serve_pending_messages() noexcept {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

bool serve_messages_until_signalled(HANDLE handle, DWORD timeout_ms) noexcept {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    if (::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) return true;
    serve_pending_messages();
    DWORD wait_ms = INFINITE;
    if (timeout_ms != INFINITE) {
      const ULONGLONG now = ::GetTickCount64();
      if (now >= deadline) return ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
      wait_ms = static_cast<DWORD>(deadline - now);
    }
    ::MsgWaitForMultipleObjectsEx(1, &handle, wait_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

void discard_queued_input() noexcept {
  struct Range {
    UINT first, last;
  };
  static constexpr Range kInput[] = {
      {WM_KEYFIRST, WM_KEYLAST},
      {WM_MOUSEFIRST, WM_MOUSELAST},
      {WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK},
      {WM_NCMOUSEHOVER, WM_MOUSELEAVE},  // hover and leave, client and non-client
  };
  MSG msg;
  for (const Range& range : kInput)
    while (::PeekMessageW(&msg, nullptr, range.first, range.last, PM_REMOVE | PM_NOYIELD)) {
    }
}

}  // namespace pw
