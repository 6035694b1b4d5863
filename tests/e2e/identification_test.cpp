// The identification handshake against the simulated device. With no update files
// in the current directory, a device that identifies leads straight to the
// missing-database message, which makes the outcome visible.
#include <gtest/gtest.h>

#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

struct ReplyCase {
  const char* name;
  std::vector<std::string> device_args;
  bool identifies;
};

class IdentificationReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(IdentificationReply, DecidesWhetherTheUpdateGoesOn) {
  UpdaterRig rig(std::string("ident-") + GetParam().name);
  ASSERT_TRUE(rig.start_update(GetParam().device_args));
  auto& app = rig.app();

  const std::string expected_box = GetParam().identifies ? msg(1035) : std::string(kWrongDevice);
  HWND box = app.wait_for_message_box(expected_box);
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture_becomes(tools::Bytes{0x40})) << "only the identification byte is sent";
  ASSERT_TRUE(app.answer(box));
  const auto code = app.wait_for_exit();
  ASSERT_TRUE(code.has_value()) << app.describe();
  EXPECT_EQ(*code, 0u);
  EXPECT_EQ(app.count_seen(kWrongDevice), GetParam().identifies ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IdentificationReply,
    ::testing::Values(ReplyCase{"immediate", {}, true},
                      ReplyCase{"delayed", {"--reply-delay", "400"}, true},
                      ReplyCase{"long_reply", {"--reply", "V1.07-extra-long-reply-text"}, true},
                      ReplyCase{"wrong_first_byte", {"--reply-byte", "0x57"}, false},
                      ReplyCase{"no_reply", {"--no-reply"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Identification, LibraryRefusedWhenTheCommandStartsShowsItsMessageAndWritesNothing) {
  UpdaterRig rig("ident-nolib");
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  auto& app = rig.app();
  app.auto_answer(kLibraryUnloaded);  // the next presence poll fails to load it too
  ASSERT_TRUE(rig.device_command("refuse-load on"));
  ASSERT_TRUE(app.click(kUpdateButton));
  HWND box = app.wait_for_message_box(msg(1031));
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture().empty());
  EXPECT_EQ(rig.device_status().identify_requests, 0);
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(app.process().running()) << "the program keeps running";
}

TEST(Identification, OutPipeThatWillNotOpenShowsNotLinkedAndTheProgramKeepsRunning) {
  UpdaterRig rig("ident-nopipe");
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  auto& app = rig.app();
  ASSERT_TRUE(rig.device_command("refuse-out-pipe on"));
  ASSERT_TRUE(app.click(kUpdateButton));
  HWND box = app.wait_for_message_box(msg(1021));
  ASSERT_NE(box, nullptr) << app.describe();
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(rig.capture().empty());
  EXPECT_EQ(rig.device_status().in_clients, 0) << "no reader was started";
  EXPECT_TRUE(app.process().running());
  EXPECT_TRUE(app.enabled(kUpdateButton));
}

// A device swapped for another model between two commands must not get the files
// because an earlier one identified: each command decides on its own reply.
TEST(Identification, EveryCommandAsksTheDeviceAnew) {
  UpdaterRig rig("ident-anew");
  rig.write_short_firmware();
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  auto& app = rig.app();
  ASSERT_TRUE(rig.run_command_answering(msg(1023)));

  ASSERT_TRUE(rig.device_command("reply none"));
  ASSERT_TRUE(poll_until([&] { return app.enabled(kUpdateButton); }));
  EXPECT_TRUE(rig.run_command_answering(kWrongDevice)) << "a silent device is not the right model";
  EXPECT_TRUE(app.wait_for_exit()) << app.describe();
  EXPECT_EQ(rig.device_status().identify_requests, 2);
  EXPECT_EQ(rig.capture(), tools::Bytes({0x40, 0x40})) << "nothing but the two identification bytes";
}

}  // namespace
}  // namespace pw::e2e
