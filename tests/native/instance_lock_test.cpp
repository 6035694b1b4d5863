#include "session/instance_lock.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using pw::InstanceVerdict;
using pw::LockAttempt;

struct LockCase {
  const char* name;
  LockAttempt global;
  std::optional<LockAttempt> session;
  InstanceVerdict expected;
};

class InstanceLock : public ::testing::TestWithParam<LockCase> {};

TEST_P(InstanceLock, LetsOneUpdaterRunPerComputer) {
  const LockCase& c = GetParam();
  EXPECT_EQ(pw::needs_session_lock(c.global), c.session.has_value());
  EXPECT_EQ(pw::judge_instance_lock(c.global, c.session), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InstanceLock,
    ::testing::Values(
        LockCase{"GlobalCreated", LockAttempt::created, std::nullopt, InstanceVerdict::run},
        LockCase{"GlobalExists", LockAttempt::exists, std::nullopt, InstanceVerdict::another_runs},
        LockCase{"GlobalOfAnotherUser", LockAttempt::access_denied, std::nullopt, InstanceVerdict::another_runs},
        LockCase{"SessionCreated", LockAttempt::unusable, LockAttempt::created, InstanceVerdict::run},
        LockCase{"SessionExists", LockAttempt::unusable, LockAttempt::exists, InstanceVerdict::another_runs},
        LockCase{"SessionDenied", LockAttempt::unusable, LockAttempt::access_denied, InstanceVerdict::another_runs},
        LockCase{"NeitherUsable", LockAttempt::unusable, LockAttempt::unusable, InstanceVerdict::run_unlocked}),
    [](const ::testing::TestParamInfo<LockCase>& info) { return std::string(info.param.name); });

}  // namespace
