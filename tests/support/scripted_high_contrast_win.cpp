// The test programs' High Contrast: "1" (on) or "0" (off) in the file
// PUSHWELL_TEST_HIGH_CONTRAST names, so a test can switch it while the updater
// runs (Wine always reports it off and refuses to turn it on). Without the
// variable, or with a file that says neither, the system's own.
#include <windows.h>

#include "tests/support/scripted_file.h"
#include "ui/system_look.h"

namespace pw {

bool high_contrast_on() noexcept {
  try {
    if (const auto setting = scripted_setting("PUSHWELL_TEST_HIGH_CONTRAST"); setting && !setting->empty()) {
      if ((*setting)[0] == '0' || (*setting)[0] == '1') return (*setting)[0] == '1';
    }
  } catch (...) {  // no memory for the line: the system's own
  }
  HIGHCONTRASTW settings{};
  settings.cbSize = sizeof settings;
  return ::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof settings, &settings, 0) &&
         (settings.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

}  // namespace pw
