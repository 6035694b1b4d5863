#include "host/battery_rule.h"

namespace pw {

bool battery_too_low_to_start(const PowerStatus& status) noexcept {
  if (status.ac_line != kAcOffline) return false;
  if (status.battery_flags == kUnknownPowerValue || (status.battery_flags & kNoSystemBattery) != 0) return false;
  if (status.charge_percent == kUnknownPowerValue) return false;
  return status.charge_percent < kLowestChargeToStart;
}

}  // namespace pw
