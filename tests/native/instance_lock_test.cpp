#include "host/instance_lock.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using pw::InstanceVerdict;
using pw::LockAnswer;

enum class Try { create, open };

struct LockCase {
  const char* name;
  Try how;
  LockAnswer global;
  std::optional<LockAnswer> session;
  InstanceVerdict expected;
};

class InstanceLock : public ::testing::TestWithParam<LockCase> {};

TEST_P(InstanceLock, LetsOneUpdaterRunPerComputer) {
  const LockCase& c = GetParam();
  auto attempt = [&](const LockAnswer& answer) {
    return c.how == Try::create ? pw::created_lock_attempt(answer) : pw::opened_lock_attempt(answer);
  };
  std::optional<pw::LockAttempt> session;
  if (c.session) session = attempt(*c.session);
  EXPECT_EQ(pw::needs_session_lock(attempt(c.global)), c.session.has_value());
  EXPECT_EQ(pw::judge_instance_lock(attempt(c.global), session), c.expected);
}

constexpr LockAnswer kHandle{true, 0};
constexpr LockAnswer kHandleOfExisting{true, pw::kErrorAlreadyExists};
constexpr LockAnswer kDenied{false, pw::kErrorAccessDenied};
constexpr LockAnswer kOtherObject{false, pw::kErrorInvalidHandle};
constexpr LockAnswer kNotFound{false, pw::kErrorFileNotFound};
constexpr LockAnswer kNoNamespace{false, 3};  // ERROR_PATH_NOT_FOUND

INSTANTIATE_TEST_SUITE_P(
    Table, InstanceLock,
    ::testing::Values(
        LockCase{"GlobalCreated", Try::create, kHandle, std::nullopt, InstanceVerdict::run},
        LockCase{"GlobalExists", Try::create, kHandleOfExisting, std::nullopt, InstanceVerdict::another_runs},
        LockCase{"GlobalOfAnotherUser", Try::create, kDenied, std::nullopt, InstanceVerdict::another_runs},
        LockCase{"GlobalNameHeldByAnotherKindOfObject", Try::create, kOtherObject, std::nullopt,
                 InstanceVerdict::another_runs},
        LockCase{"SessionCreated", Try::create, kNoNamespace, kHandle, InstanceVerdict::run},
        LockCase{"SessionExists", Try::create, kNoNamespace, kHandleOfExisting, InstanceVerdict::another_runs},
        LockCase{"SessionDenied", Try::create, kNoNamespace, kDenied, InstanceVerdict::another_runs},
        LockCase{"NeitherUsable", Try::create, kNoNamespace, kNoNamespace, InstanceVerdict::run_unlocked},
        LockCase{"CheckFindsItHeld", Try::open, kHandle, std::nullopt, InstanceVerdict::another_runs},
        LockCase{"CheckFindsItHeldByAnotherUser", Try::open, kDenied, std::nullopt, InstanceVerdict::another_runs},
        LockCase{"CheckFindsNobody", Try::open, kNotFound, std::nullopt, InstanceVerdict::run},
        LockCase{"CheckFindsItHeldInTheSession", Try::open, kNoNamespace, kHandle, InstanceVerdict::another_runs}),
    [](const ::testing::TestParamInfo<LockCase>& info) { return std::string(info.param.name); });

}  // namespace
