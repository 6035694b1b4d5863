#include "host/platform.h"

#include "lang/utf.h"

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
  void keep_awake(bool awake, const std::u16string& reason) noexcept override {
    calls.push_back(awake ? "awake " + pw::utf16_to_utf8(reason) : "may sleep" + pw::utf16_to_utf8(reason));
  }
  void set_shutdown_reason(const std::u16string& reason) noexcept override {
    reasons.push_back(reason);
    calls.push_back(reason.empty() ? "no reason" : "reason " + pw::utf16_to_utf8(reason));
  }
  bool window_in_foreground() noexcept override { return foreground; }
  void flash_window() noexcept override { calls.push_back("flash"); }
  pw::PowerStatus power_status() noexcept override { return power; }

  std::vector<std::string> calls;
  std::vector<std::u16string> reasons;
  bool foreground = true;
  pw::PowerStatus power;
};

using Calls = std::vector<std::string>;

// The table leaves idle before the platform hears a command start, and is back
// before it hears the end.
void start(pw::CommandMachine& table, pw::CommandPlatform& platform, const char* reason) {
  table.handle(pw::Event::update_asked);
  platform.command_started(reason);
}
void end(pw::CommandMachine& table, pw::CommandPlatform& platform) {
  table.handle(pw::Event::close_asked);
  platform.command_ended();
}

TEST(CommandPlatform, KeepsTheSystemAwakeOnlyWhileACommandRuns) {
  RecordingCalls calls;
  pw::CommandMachine table;
  pw::CommandPlatform platform(calls, table);
  start(table, platform, "Updating");
  end(table, platform);
  EXPECT_EQ(calls.calls, (Calls{"awake Updating", "reason Updating", "no reason", "may sleep"}));
}

TEST(CommandPlatform, AsksTheSystemForTheChargeLeftBeforeAStart) {
  RecordingCalls calls;
  pw::CommandMachine table;
  pw::CommandPlatform platform(calls, table);
  calls.power = {0, 0, 24};
  EXPECT_TRUE(platform.battery_too_low());
  calls.power = {1, 8, 24};
  EXPECT_FALSE(platform.battery_too_low());
}

// The texts are UTF-8 whatever the system's code page: the reason reaches the
// system as the same letters, not as the ANSI reading of their bytes.
TEST(CommandPlatform, GivesTheShutdownReasonToTheSystemInUtf16) {
  struct Case {
    const char* utf8;
    const char16_t* utf16;
  };
  for (const Case& c : {Case{"Updating the device", u"Updating the device"},
                        Case{"\xD0\x9E\xD0\xB1\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBB\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xB5",
                             u"\u041E\u0431\u043D\u043E\u0432\u043B\u0435\u043D\u0438\u0435"},
                        Case{"\xEC\x9E\xA5\xEC\xB9\x98", u"\uC7A5\uCE58"}}) {
    RecordingCalls calls;
    pw::CommandMachine table;
    pw::CommandPlatform platform(calls, table);
    start(table, platform, c.utf8);
    ASSERT_EQ(calls.reasons.size(), 1u);
    EXPECT_EQ(calls.reasons[0], std::u16string(c.utf16)) << c.utf8;
  }
}

TEST(CommandPlatform, MirrorsOnlyChangedPercentagesThenClearsTheTaskbar) {
  RecordingCalls calls;
  pw::CommandMachine table;
  pw::CommandPlatform platform(calls, table);
  start(table, platform, "r");
  calls.calls.clear();
  for (int p : {0, 0, 5, 5, 50, 100, 100}) platform.progress(p);
  end(table, platform);
  EXPECT_EQ(calls.calls, (Calls{"state normal", "value 0", "value 5", "value 50", "value 100", "state none",
                                "no reason", "may sleep"}));
}

TEST(CommandPlatform, AFailedTransferShowsTheErrorStateUntilTheCommandEnds) {
  RecordingCalls calls;
  pw::CommandMachine table;
  pw::CommandPlatform platform(calls, table);
  start(table, platform, "r");
  platform.progress(30);
  calls.calls.clear();
  platform.transfer_failed();
  platform.progress(40);  // a later file cannot hide the failure
  platform.transfer_failed();
  end(table, platform);
  EXPECT_EQ(calls.calls, (Calls{"state error", "state none", "no reason", "may sleep"}));
}

TEST(CommandPlatform, OnceEveryFileIsHandedOverTheSystemMaySleepAndTheTaskbarShowsItFinished) {
  RecordingCalls calls;
  pw::CommandMachine table;
  pw::CommandPlatform platform(calls, table);
  start(table, platform, "r");
  platform.progress(40);
  calls.calls.clear();
  platform.files_handed_over();
  platform.progress(50);  // nothing moves the finished bar
  end(table, platform);
  EXPECT_EQ(calls.calls, (Calls{"value 100", "no reason", "may sleep", "state none"}));
}

TEST(CommandPlatform, NothingOutsideACommandButTheFlash) {
  RecordingCalls calls;
  pw::CommandMachine table;
  pw::CommandPlatform platform(calls, table);
  platform.progress(10);
  platform.transfer_failed();
  platform.box_opening();
  EXPECT_TRUE(calls.calls.empty());
  calls.foreground = false;
  platform.box_opening();
  EXPECT_EQ(calls.calls, (Calls{"flash"}));
}

TEST(CommandPlatform, ANewCommandStartsFromAClearTaskbar) {
  RecordingCalls calls;
  pw::CommandMachine table;
  pw::CommandPlatform platform(calls, table);
  start(table, platform, "r");
  platform.progress(100);
  end(table, platform);
  calls.calls.clear();
  start(table, platform, "r");
  platform.progress(100);
  EXPECT_EQ(calls.calls, (Calls{"awake r", "reason r", "state normal", "value 100"}));
}

}  // namespace
