#include <windows.h>

#include "ui/system_look.h"

namespace pw {

bool apps_use_dark_theme() noexcept {
  DWORD light = 1;
  DWORD size = sizeof light;
  const LSTATUS status =
      ::RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                     L"AppsUseLightTheme", RRF_RT_REG_DWORD, nullptr, &light, &size);
  return status == ERROR_SUCCESS && light == 0;
}

SystemColors read_system_colors() noexcept {
  return SystemColors{::GetSysColor(COLOR_WINDOW), ::GetSysColor(COLOR_WINDOWTEXT), ::GetSysColor(COLOR_HIGHLIGHT),
                      ::GetSysColor(COLOR_HIGHLIGHTTEXT), ::GetSysColor(COLOR_BTNFACE)};
}

Look current_look() noexcept { return choose_look(high_contrast_on(), apps_use_dark_theme(), read_system_colors()); }

}  // namespace pw
