#pragma once
// Whether the charge left is too low to start an update: a flash cut off by a
// flat battery leaves the device half written. Pure.
#include <cstdint>

namespace pw {

// As GetSystemPowerStatus gives them.
struct PowerStatus {
  std::uint8_t ac_line = 255;          // 0 offline, 1 online, 255 unknown
  std::uint8_t battery_flags = 255;    // bits: 8 charging, 128 no system battery; 255 unknown
  std::uint8_t charge_percent = 255;   // 0-100, 255 unknown
};

inline constexpr std::uint8_t kAcOffline = 0;
inline constexpr std::uint8_t kBatteryCharging = 8;
inline constexpr std::uint8_t kNoSystemBattery = 128;
inline constexpr std::uint8_t kUnknownPowerValue = 255;
inline constexpr int kLowestChargeToStart = 25;  // percent

// True only on battery (AC offline) with a known charge below kLowestChargeToStart.
// Whatever is unknown, or no battery at all, never refuses.
bool battery_too_low_to_start(const PowerStatus& status) noexcept;

}  // namespace pw
