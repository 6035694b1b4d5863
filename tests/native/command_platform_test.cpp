#include "session/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pw::TaskbarProgress;

class RecordingCalls final : public pw::PlatformCalls {
 public:
  void set_taskbar_state(TaskbarProgress state) noexcept override {
    calls.push_back(state == TaskbarProgress::none ? "state none"
                    : state == TaskbarProgress::normal ? "state normal"
                                                       : "state error");
  }
  void set_taskbar_value(int percent) noexcept override { calls.push_back("value " + std::to_string(percent)); }
  void keep_system_awake(bool awake) noexcept override { calls.push_back(awake ? "awake" : "may sleep"); }
  void set_shutdown_reason(const std::string& reason) noexcept override {
    calls.push_back(reason.empty() ? "no reason" : "reason " + reason);
  }
  bool window_in_foreground() noexcept override { return foreground; }
  void flash_window() noexcept override { calls.push_back("flash"); }

  std::vector<std::string> calls;
  bool foreground = true;
};

using Calls = std::vector<std::string>;

TEST(CommandPlatform, KeepsTheSystemAwakeAndTheSessionWaitingOnlyWhileACommandRuns) {
  RecordingCalls calls;
  pw::CommandPlatform platform(calls);
  EXPECT_TRUE(platform.session_may_end());
  platform.command_started("Updating");
  EXPECT_FALSE(platform.session_may_end());
  platform.command_ended();
  EXPECT_TRUE(platform.session_may_end());
  EXPECT_EQ(calls.calls, (Calls{"awake", "reason Updating", "no reason", "may sleep"}));
}

TEST(CommandPlatform, MirrorsOnlyChangedPercentagesThenClearsTheTaskbar) {
  RecordingCalls calls;
  pw::CommandPlatform platform(calls);
  platform.command_started("r");
  calls.calls.clear();
  for (int p : {0, 0, 5, 5, 50, 100, 100}) platform.progress(p);
  platform.command_ended();
  EXPECT_EQ(calls.calls, (Calls{"state normal", "value 0", "value 5", "value 50", "value 100", "state none",
                                "no reason", "may sleep"}));
}

TEST(CommandPlatform, AFailedTransferShowsTheErrorStateUntilTheCommandEnds) {
  RecordingCalls calls;
  pw::CommandPlatform platform(calls);
  platform.command_started("r");
  platform.progress(30);
  calls.calls.clear();
  platform.transfer_failed();
  platform.progress(40);  // a later file cannot hide the failure
  platform.transfer_failed();
  platform.command_ended();
  EXPECT_EQ(calls.calls, (Calls{"state error", "state none", "no reason", "may sleep"}));
}

TEST(CommandPlatform, NothingOutsideACommandButTheFlash) {
  RecordingCalls calls;
  pw::CommandPlatform platform(calls);
  platform.progress(10);
  platform.transfer_failed();
  platform.command_ended();
  platform.box_opening();
  EXPECT_TRUE(calls.calls.empty());
  calls.foreground = false;
  platform.box_opening();
  EXPECT_EQ(calls.calls, (Calls{"flash"}));
}

TEST(CommandPlatform, ANewCommandStartsFromAClearTaskbar) {
  RecordingCalls calls;
  pw::CommandPlatform platform(calls);
  platform.command_started("r");
  platform.progress(100);
  platform.command_ended();
  calls.calls.clear();
  platform.command_started("r");
  platform.progress(100);
  EXPECT_EQ(calls.calls, (Calls{"awake", "reason r", "state normal", "value 100"}));
}

}  // namespace
