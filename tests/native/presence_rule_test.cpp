#include "device/presence_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using pw::PresenceFacts;
using pw::PresenceVerdict;

struct PresenceCase {
  const char* name;
  PresenceFacts facts;
  PresenceVerdict expected;
};

class PresenceRule : public ::testing::TestWithParam<PresenceCase> {};

TEST_P(PresenceRule, DecidesWhatACheckMeans) {
  EXPECT_EQ(pw::judge_presence(GetParam().facts), GetParam().expected);
}

// Facts in the order: found, recheck, command running, transfer running, update started, ending box open.
INSTANTIATE_TEST_SUITE_P(
    Table, PresenceRule,
    ::testing::Values(
        PresenceCase{"FoundIdle", {true, false, false, false, false, false}, PresenceVerdict::linked},
        PresenceCase{"FoundDuringATransfer", {true, false, true, true, true, false}, PresenceVerdict::linked},
        PresenceCase{"MissIdle", {false, false, false, false, false, false}, PresenceVerdict::not_linked},
        PresenceCase{"MissDuringATransfer", {false, false, true, true, true, false}, PresenceVerdict::unchanged},
        PresenceCase{"RecheckMissDuringATransfer", {false, true, true, true, true, false},
                     PresenceVerdict::unchanged},
        PresenceCase{"MissBetweenFiles", {false, false, true, false, true, false}, PresenceVerdict::recheck},
        PresenceCase{"RecheckMissBetweenFiles", {false, true, true, false, true, false},
                     PresenceVerdict::lost_update},
        PresenceCase{"RecheckMissBehindTheFinalBox", {false, true, true, false, true, true},
                     PresenceVerdict::not_linked},
        PresenceCase{"MissAfterAnEarlyEnd", {false, false, false, false, true, false}, PresenceVerdict::lost_update}),
    [](const ::testing::TestParamInfo<PresenceCase>& info) { return std::string(info.param.name); });

}  // namespace
