#include <windows.h>

#include "ui/system_look.h"

namespace pw {

bool high_contrast_on() noexcept {
  HIGHCONTRASTW settings{};
  settings.cbSize = sizeof settings;
  return ::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof settings, &settings, 0) &&
         (settings.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

}  // namespace pw
