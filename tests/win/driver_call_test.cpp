// A call into the pipe library on a thread of its own, against a devsim whose
// driver does not return: the caller's bound holds, and what the driver hands
// back late is closed, not leaked.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "device/driver_call.h"
#include "device/pipe_library.h"
#include "sim/sim_control.h"
#include "sim/sim_names.h"
#include "tests/win/test_tag.h"
#include "win/handles.h"

namespace {

using pw::DriverCall;
using pw::DriverCallResult;
using pw::UniqueHandle;
using namespace pw::sim;

constexpr DWORD kDeadlineMs = 15000;
constexpr unsigned kShortBoundMs = 200;
constexpr UINT kCallEnded = WM_APP + 7;

struct WindowDestroyer {
  void operator()(HWND window) const { ::DestroyWindow(window); }
};
using UniqueWindow = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer>;

class DriverCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = unique_device_name(pw::test::test_tag());
    env_ = std::make_unique<ScopedEnvironmentVariable>(kDeviceEnvVar, device_.c_str());
  }
  void TearDown() override { sim_.stop(); }

  std::string device_;
  std::unique_ptr<ScopedEnvironmentVariable> env_;
  DevsimProcess sim_;
};

TEST_F(DriverCallTest, AProbeTheDriverHoldsTimesOutAtItsBoundAndItsLateHandleIsClosed) {
  ASSERT_TRUE(sim_.launch(device_, {"--hang-probe", "60000"}));
  DriverCall probe = DriverCall::probe();
  EXPECT_EQ(probe.wait(kShortBoundMs), DriverCallResult::timed_out);
  EXPECT_TRUE(pw::abandoned_driver_call_running());

  ASSERT_TRUE(set_hang_probe(device_, std::nullopt));
  ASSERT_TRUE(wait_until([&] { return !pw::abandoned_driver_call_running(); }, kDeadlineMs));
  EXPECT_EQ(probe.result(), DriverCallResult::timed_out);
  ASSERT_EQ(probe.late_result(), DriverCallResult::found);
  // The probe's handle is devsim's plugged event: once devsim lets go of it on
  // the unplug, it exists only if this process still holds it.
  ASSERT_TRUE(sim_.command("unplug"));
  char name[kMaxObjectNameLength];
  ASSERT_TRUE(object_name(SimObject::plugged_event, device_.c_str(), name));
  EXPECT_FALSE(UniqueHandle(::OpenEventA(SYNCHRONIZE, FALSE, name))) << "the late probe's handle is still open";
}

TEST_F(DriverCallTest, AnOpenTellsTheWindowWhenItEndsAndALateOneLeavesThePipeFree) {
  ASSERT_TRUE(sim_.launch(device_, {"--slow-open", "60000", "--slow-open-from", "2"}));
  UniqueWindow window(::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
  ASSERT_TRUE(window.get());

  DriverCall first = DriverCall::open(pw::kOutPipeName, window.get(), kCallEnded);
  MSG msg{};
  ASSERT_TRUE(wait_until(
      [&] { return ::PeekMessageW(&msg, window.get(), kCallEnded, kCallEnded, PM_REMOVE) != FALSE; }, kDeadlineMs));
  EXPECT_EQ(msg.wParam, first.serial());
  ASSERT_EQ(first.result(), DriverCallResult::opened);
  EXPECT_TRUE(first.take_handle());
  EXPECT_FALSE(first.take_handle()) << "a handle is handed out once";
  EXPECT_FALSE(first.binding().path.empty());

  DriverCall second = DriverCall::open(pw::kOutPipeName, window.get(), kCallEnded);
  EXPECT_EQ(second.wait(kShortBoundMs), DriverCallResult::timed_out);
  ASSERT_TRUE(set_slow_open(device_, std::nullopt));
  ASSERT_TRUE(wait_until([&] { return !pw::abandoned_driver_call_running(); }, kDeadlineMs));
  ASSERT_EQ(second.late_result(), DriverCallResult::opened);
  EXPECT_FALSE(second.take_handle());
  EXPECT_FALSE(::PeekMessageW(&msg, window.get(), kCallEnded, kCallEnded, PM_REMOVE)) << "an abandoned call is not told";
  EXPECT_TRUE(wait_for_status(device_, [](const Status& s) { return s.out_pipe_opens == 2 && s.out_clients == 0; },
                              kDeadlineMs));
}

}  // namespace
