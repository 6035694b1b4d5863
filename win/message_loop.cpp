#include "win/message_loop.h"

namespace pw {

namespace {
thread_local bool t_discarding = false;
}  // namespace

bool input_being_discarded() noexcept { return t_discarding; }

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
  t_discarding = true;
  MSG msg;
  for (const Range& range : kInput)
    while (::PeekMessageW(&msg, nullptr, range.first, range.last, PM_REMOVE | PM_NOYIELD)) {
    }
  t_discarding = false;
}

}  // namespace pw
