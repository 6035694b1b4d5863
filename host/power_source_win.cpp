#include "host/power_source.h"

#include <windows.h>

namespace pw {

// Nothing else may be defined here: a test link replaces this whole file.
PowerStatus read_power_status() noexcept {
  SYSTEM_POWER_STATUS system{};
  if (!::GetSystemPowerStatus(&system)) return PowerStatus{};
  return PowerStatus{system.ACLineStatus, system.BatteryFlag, system.BatteryLifePercent};
}

}  // namespace pw
