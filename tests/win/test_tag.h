#pragma once
// A name for the running test, for device names and scratch files of its own.
#include <gtest/gtest.h>

#include <string>

namespace pw::test {

inline std::string test_tag() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(info->test_suite_name()) + "." + info->name();
}

}  // namespace pw::test
