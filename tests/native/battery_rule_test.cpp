#include "host/battery_rule.h"

#include <gtest/gtest.h>

namespace {

TEST(BatteryRule, RefusesOnlyOnBatteryWithAKnownChargeBelowAQuarter) {
  struct Case {
    const char* what;
    pw::PowerStatus status;
    bool refused;
  };
  const Case cases[] = {
      {"on battery at 24 %", {0, 0, 24}, true},
      {"on battery at 25 %", {0, 0, 25}, false},
      {"on battery at 0 %, flagged critical and low", {0, 2 | 4, 0}, true},
      {"charger in at 10 %", {1, 0, 10}, false},
      {"charging with the charger in", {1, 8, 10}, false},
      {"unknown mains at 10 %", {255, 0, 10}, false},
      {"on battery, charge unknown", {0, 0, 255}, false},
      {"on battery, battery state unknown", {0, 255, 10}, false},
      {"no system battery", {0, 128, 10}, false},
      {"everything unknown", {255, 255, 255}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(pw::battery_too_low_to_start(c.status), c.refused) << c.what;
}

}  // namespace
