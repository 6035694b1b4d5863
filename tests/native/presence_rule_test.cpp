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

namespace {

using pw::PresenceMemory;
using pw::PresencePlan;

PresenceFacts facts_with(bool found, bool library_loaded = true) {
  PresenceFacts f;
  f.found = found;
  f.library_loaded = library_loaded;
  return f;
}

TEST(PresencePlan, ALibraryThatCannotBeLoadedIsSaidOnceAndChangesNothingElse) {
  const PresencePlan first = pw::plan_presence(facts_with(false, false), PresenceMemory{});
  EXPECT_TRUE(first.library_message);
  EXPECT_EQ(first.poll_period_ms, 0u);
  EXPECT_FALSE(first.start_installer);
  EXPECT_EQ(first.recheck_in_ms, 0u);
  // Not again while it is up, nor until a load has worked in between.
  EXPECT_FALSE(pw::plan_presence(facts_with(false, false), PresenceMemory{false, true, false}).library_message);
  EXPECT_FALSE(pw::plan_presence(facts_with(false, false), PresenceMemory{false, false, true}).library_message);
}

TEST(PresencePlan, NoLibraryMessageDuringATransfer) {
  PresenceFacts f = facts_with(false, false);
  f.command_running = f.transfer_running = true;
  EXPECT_FALSE(pw::plan_presence(f, PresenceMemory{}).library_message);
}

TEST(PresencePlan, TheInstallerStartsOnlyWhileTheDeviceHasNotBeenSeen) {
  EXPECT_TRUE(pw::plan_presence(facts_with(false), PresenceMemory{}).start_installer);
  EXPECT_FALSE(pw::plan_presence(facts_with(false), PresenceMemory{true, false, false}).start_installer);
  EXPECT_FALSE(pw::plan_presence(facts_with(true), PresenceMemory{}).start_installer);
}

TEST(PresencePlan, PeriodsFollowTheLink) {
  EXPECT_EQ(pw::plan_presence(facts_with(true), PresenceMemory{}).poll_period_ms, pw::kLinkedPollMs);
  EXPECT_EQ(pw::plan_presence(facts_with(false), PresenceMemory{}).poll_period_ms, pw::kUnlinkedPollMs);
  PresenceFacts during = facts_with(false);
  during.command_running = during.transfer_running = true;
  EXPECT_EQ(pw::plan_presence(during, PresenceMemory{}).poll_period_ms, 0u);  // a miss during a transfer: as it was
}

TEST(PresencePlan, AMissDuringACommandIsRecheckedSoon) {
  PresenceFacts f = facts_with(false);
  f.command_running = f.update_started = true;
  const PresencePlan plan = pw::plan_presence(f, PresenceMemory{});
  EXPECT_EQ(plan.verdict, PresenceVerdict::recheck);
  EXPECT_EQ(plan.recheck_in_ms, pw::kPresenceRecheckMs);
  EXPECT_EQ(plan.poll_period_ms, 0u);
  EXPECT_FALSE(plan.start_installer);
}

}  // namespace
