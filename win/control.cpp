#include "win/control.h"

#include <commctrl.h>

namespace pw {

namespace {
constexpr UINT_PTR kSubclassId = 0x50574C; // one id per attached object kind is enough
}

SubclassedControl::~SubclassedControl() { detach(); }

bool SubclassedControl::attach(HWND dialog, int id) noexcept { return attach(::GetDlgItem(dialog, id)); }

bool SubclassedControl::attach(HWND control) noexcept {
  if (!control) return false;
  if (control == hwnd_) return true;
  detach();
  if (!::SetWindowSubclass(control, &SubclassedControl::subclass_proc, kSubclassId,
                           reinterpret_cast<DWORD_PTR>(this)))
    return false;
  hwnd_ = control;
  return true;
}

void SubclassedControl::detach() noexcept {
  if (hwnd_) {
    ::RemoveWindowSubclass(hwnd_, &SubclassedControl::subclass_proc, kSubclassId);
    hwnd_ = nullptr;
  }
}

LRESULT SubclassedControl::handle_message(UINT msg, WPARAM wp, LPARAM lp) noexcept {
  return default_handling(msg, wp, lp);
}

LRESULT SubclassedControl::default_handling(UINT msg, WPARAM wp, LPARAM lp) noexcept {
  return ::DefSubclassProc(hwnd_, msg, wp, lp);
}

LRESULT CALLBACK SubclassedControl::subclass_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                                  DWORD_PTR ref) noexcept {
  auto* self = reinterpret_cast<SubclassedControl*>(ref);
  if (msg == WM_NCDESTROY) {
    // The window goes away: drop the binding before the control is gone.
    const LRESULT r = ::DefSubclassProc(hwnd, msg, wp, lp);
    self->window_gone();
    self->detach();
    return r;
  }
  return self->handle_message(msg, wp, lp);
}

}  // namespace pw
