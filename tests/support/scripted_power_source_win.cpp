// The test programs' power status: read from the file PUSHWELL_TEST_POWER_STATUS
// names at each call ("AC-line battery-flags percent", as GetSystemPowerStatus
// gives them: "0 0 10" is on battery at 10 %), so a test can drain the battery
// at any moment. Without the variable, or with a file that cannot be read, the
// system's own status, as the shipped programs read it.
#include <windows.h>

#include <cstdio>

#include "host/power_source.h"
#include "tests/support/scripted_file.h"

namespace pw {

PowerStatus read_power_status() noexcept {
  try {
    if (const auto setting = scripted_setting("PUSHWELL_TEST_POWER_STATUS")) {
      unsigned line = 0, flags = 0, percent = 0;
      if (std::sscanf(setting->c_str(), "%u %u %u", &line, &flags, &percent) == 3)
        return PowerStatus{static_cast<std::uint8_t>(line), static_cast<std::uint8_t>(flags),
                           static_cast<std::uint8_t>(percent)};
    }
  } catch (...) {  // no memory for the line: the system's own
  }
  SYSTEM_POWER_STATUS system{};
  if (!::GetSystemPowerStatus(&system)) return PowerStatus{};
  return PowerStatus{system.ACLineStatus, system.BatteryFlag, system.BatteryLifePercent};
}

}  // namespace pw
