#include "ui/dialog_look.h"

#include <dwmapi.h>
#include <uxtheme.h>

#include "ui/system_look.h"

namespace pw {

namespace {

// Documented from Windows 11 and Windows 10 20H1 on; older systems refuse it and
// keep the light title bar.
constexpr DWORD kUseImmersiveDarkMode = 20;

void set_dark_title_bar(HWND window, bool dark) noexcept {
  const BOOL value = dark ? TRUE : FALSE;
  static_cast<void>(::DwmSetWindowAttribute(window, kUseImmersiveDarkMode, &value, sizeof value));
}

// Push buttons take the system's dark theme for them; where the system has none,
// the theme manager falls back to the ordinary button. A group box is drawn
// unthemed in the dark, so that its caption takes the WM_CTLCOLORSTATIC colours.
BOOL CALLBACK theme_child(HWND child, LPARAM dark) {
  wchar_t name[16] = {};
  if (!::GetClassNameW(child, name, 16) || ::lstrcmpiW(name, L"Button") != 0) return TRUE;
  const bool group_box = (::GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX;
  if (!dark)
    ::SetWindowTheme(child, nullptr, nullptr);
  else if (group_box)
    ::SetWindowTheme(child, L"", L"");
  else
    ::SetWindowTheme(child, L"DarkMode_Explorer", nullptr);
  return TRUE;
}

}  // namespace

void DialogLook::apply(HWND dialog) noexcept {
  const Look look = current_look();
  if (applied_ && look == look_) return;
  const bool was_dark = applied_ && look_.mode == LookMode::dark;
  const bool dark = look.mode == LookMode::dark;
  look_ = look;
  applied_ = true;
  background_.reset(look.paints_window ? ::CreateSolidBrush(look.window_background) : nullptr);
  if (dark != was_dark) {
    set_dark_title_bar(dialog, dark);
    ::EnumChildWindows(dialog, &theme_child, dark ? 1 : 0);
  }
  if (listener_) listener_(look_);
  ::RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
}

HBRUSH DialogLook::control_color(HDC dc) noexcept {
  if (!look_.paints_window || !background_) return nullptr;
  ::SetTextColor(dc, look_.window_text);
  ::SetBkColor(dc, look_.window_background);
  return background_.get();
}

}  // namespace pw
