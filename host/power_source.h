#pragma once
// The computer's power status, read afresh at each call. The one call into the
// system here lives in a translation unit of its own, so a test link can put a
// scripted source in its place without touching the rest of the host.
#include "host/battery_rule.h"

namespace pw {

// GetSystemPowerStatus, or every value unknown when it fails.
PowerStatus read_power_status() noexcept;

}  // namespace pw
