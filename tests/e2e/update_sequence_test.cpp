// The update command end to end: what the device receives and what the user sees.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

const char* const kFileOrder[] = {"firmware.cam", "image.cam", "imageru.cam", "sound.cam", "database.cam"};

// Answers the final box and checks the process ends with status 0.
void expect_finished_with_status_zero(DialogApp& app) {
  HWND done = app.wait_for_message_box(msg(1010));
  ASSERT_NE(done, nullptr) << app.describe();
  ASSERT_TRUE(app.answer(done));
  const auto code = app.wait_for_exit();
  ASSERT_TRUE(code.has_value()) << app.describe();
  EXPECT_EQ(*code, 0u);
}

TEST(UpdateSequence, AllFiveFlaggedFilesAreSentInOrderThenTheProgramEnds) {
  UpdaterRig rig("seq-all");
  std::vector<tools::Bytes> files;
  std::uint32_t seed = 1;
  for (const char* name : kFileOrder) {
    files.push_back(rig.write_update_file(name, 5000 + 3000 * seed, 1, seed));
    ++seed;
  }
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  ASSERT_TRUE(rig.app().click(kUpdateButton));
  expect_finished_with_status_zero(rig.app());
  EXPECT_TRUE(rig.capture_becomes(expected_stream(files)));
}

TEST(UpdateSequence, NotLinkedWhenPressedShowsTheMessageAndWritesNothing) {
  UpdaterRig rig("seq-unlinked");
  rig.write_update_file("firmware.cam", 100);
  ASSERT_TRUE(rig.start_device({"--unplugged"}));
  ASSERT_TRUE(rig.start_updater());
  auto& app = rig.app();
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1025)}));
  ASSERT_TRUE(app.click(kUpdateButton));
  HWND box = app.wait_for_message_box(msg(1021));
  ASSERT_NE(box, nullptr) << app.describe();
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(rig.capture().empty());
  EXPECT_EQ(rig.device_status().identify_requests, 0);
  EXPECT_TRUE(app.enabled(kUpdateButton));
  EXPECT_EQ(app.boxes_seen().size(), 1u) << app.describe();
}

TEST(UpdateSequence, OnlyAnUnflaggedDatabaseShowsItsStepSendsNothingAndFinishes) {
  UpdaterRig rig("seq-db-unflagged");
  rig.write_update_file("database.cam", 4000, 0);
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  ASSERT_TRUE(rig.app().click(kUpdateButton));
  ASSERT_NE(rig.app().wait_for_message_box(msg(1010)), nullptr) << rig.app().describe();
  EXPECT_EQ(rig.app().text(kStepText), msg(1026));
  expect_finished_with_status_zero(rig.app());
  EXPECT_TRUE(rig.capture_becomes(tools::Bytes{0x40}));
}

TEST(UpdateSequence, ShortFirmwareEndsTheCommandAndLeavesTheButtonEnabled) {
  UpdaterRig rig("seq-short");
  rig.write_short_firmware();
  rig.write_update_file("image.cam", 4000);
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  auto& app = rig.app();
  ASSERT_TRUE(rig.run_command_answering(msg(1023)));
  EXPECT_TRUE(app.process().running());
  EXPECT_TRUE(app.enabled(kUpdateButton));
  EXPECT_TRUE(rig.capture_becomes(tools::Bytes{0x40})) << "no later file examined or sent";
}

TEST(UpdateSequence, WrongMarkerAfterASentFileEndsTheCommandWithTheButtonDisabled) {
  UpdaterRig rig("seq-marker");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 6000);
  tools::Bytes image = rig.write_update_file("image.cam", 6000, 0, 7);
  image[0] = '#';
  rig.write_bytes("image.cam", image);
  ASSERT_TRUE(rig.start_update());
  auto& app = rig.app();
  HWND box = app.wait_for_message_box(msg(1022));
  ASSERT_NE(box, nullptr) << app.describe();
  ASSERT_TRUE(app.answer(box));
  EXPECT_FALSE(app.enabled(kUpdateButton));
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware})));
}

TEST(UpdateSequence, FilesBesideTheExecutableButNotInTheCurrentDirectoryAreNotFound) {
  UpdaterRig rig("seq-beside-exe");
  const std::string app_folder = rig.folder().subfolder("app");
  const std::string exe = install_updater(app_folder);
  ASSERT_FALSE(exe.empty());
  tools::CamFields fields;
  const tools::Bytes file = tools::build_update_file(fields, tools::generated_payload(3000, 3));
  ASSERT_TRUE(write_text_file(join_path(app_folder, "database.cam"), std::string(file.begin(), file.end())));
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater(exe));
  auto& app = rig.app();
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)}));
  ASSERT_TRUE(app.click(kUpdateButton));
  HWND box = app.wait_for_message_box(msg(1035));
  ASSERT_NE(box, nullptr) << app.describe();
  ASSERT_TRUE(app.answer(box));
  const auto code = app.wait_for_exit();
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 0u);
  EXPECT_TRUE(rig.capture_becomes(tools::Bytes{0x40}));
}

TEST(UpdateSequence, ASecondClickDuringIdentificationRunsNoSecondCommand) {
  UpdaterRig rig("seq-double-click");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 20000);
  ASSERT_TRUE(rig.start_update());
  auto& app = rig.app();
  ASSERT_TRUE(poll_until([&] { return rig.device_status().identify_requests >= 1; }));
  // The window is frozen by the identification delay; this click waits in its queue.
  ::PostMessageA(app.main_dialog(), WM_COMMAND, MAKEWPARAM(kUpdateButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(app.main_dialog(), kUpdateButton)));
  HWND box = app.wait_for_message_box(msg(1035));
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_EQ(rig.device_status().identify_requests, 1);
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware})));
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

TEST(UpdateSequence, FirmwareHeldOpenByAnotherProgramIsNamedAndNothingIsSent) {
  UpdaterRig rig("seq-locked");
  rig.write_update_file("firmware.cam", 3000);
  rig.write_update_file("database.cam", 3000);
  const std::string locked_path = rig.folder().file("firmware.cam");
  UniqueHandle lock(::CreateFileA(locked_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock.valid());
  ASSERT_TRUE(rig.start_update());
  auto& app = rig.app();
  HWND box = app.wait_for_any_message_box();
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_NE(message_box_text(box).find("firmware.cam"), std::string::npos) << message_box_text(box);
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(rig.capture_becomes(tools::Bytes{0x40}));
  EXPECT_TRUE(app.process().running());
}

TEST(UpdateSequence, LibraryRefusedAfterIdentificationEndsTheCommandBeforeTheTransfer) {
  UpdaterRig rig("seq-lib-gone");
  rig.write_update_file("firmware.cam", 3000);
  // A delayed reply keeps the reader connected long enough to take the library away
  // after it has loaded it.
  ASSERT_TRUE(rig.start_device({"--reply-delay", "600"}));
  ASSERT_TRUE(rig.start_updater_linked());
  auto& app = rig.app();
  app.auto_answer(kLibraryUnloaded);
  ASSERT_TRUE(app.click(kUpdateButton));
  ASSERT_TRUE(poll_until([&] { return rig.device_status().in_clients >= 1; }));
  ASSERT_TRUE(rig.device_command("refuse-load on"));
  HWND box = app.wait_for_message_box(msg(1031));
  ASSERT_NE(box, nullptr) << app.describe();
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(rig.capture_becomes(tools::Bytes{0x40}));
  EXPECT_EQ(app.count_seen(kWrongDevice), 0u);
}

TEST(UpdateSequence, DeviceUnpluggedDuringATransferAsksOnceAndOkEndsTheProgram) {
  UpdaterRig rig("seq-unplug");
  rig.write_update_file("firmware.cam", 400000);
  rig.write_update_file("database.cam", 3000);
  ASSERT_TRUE(rig.start_device({"--rate", "400000", "--unplug-after", "100000"}));
  ASSERT_TRUE(rig.start_updater_linked());
  auto& app = rig.app();
  app.auto_answer(msg(2002));  // the transfer's failure box may come first
  ASSERT_TRUE(app.click(kUpdateButton));
  HWND question = app.wait_for_message_box(msg(1021));
  ASSERT_NE(question, nullptr) << app.describe();
  EXPECT_EQ(app.count_seen(msg(1010)), 0u) << "never reported as finished";
  ASSERT_TRUE(app.answer(question));
  const auto code = app.wait_for_exit();
  ASSERT_TRUE(code.has_value()) << app.describe();
  EXPECT_EQ(*code, 0u);
  EXPECT_EQ(app.count_seen(msg(1021)), 1u);
  EXPECT_LT(rig.capture().size(), 400000u);
}

TEST(UpdateSequence, LostDeviceAfterAnEarlyEndIsAskedOnceWhileTicksGoOn) {
  UpdaterRig rig("seq-lost-later");
  rig.write_short_firmware();
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  auto& app = rig.app();
  ASSERT_TRUE(rig.run_command_answering(msg(1023)));

  ASSERT_TRUE(rig.device_command("unplug"));
  HWND question = app.wait_for_message_box(msg(1021));
  ASSERT_NE(question, nullptr) << app.describe();
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1025)}));
  ASSERT_TRUE(rig.device_command("plug"));
  EXPECT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)})) << "polls go on inside the question";
  ASSERT_TRUE(rig.device_command("unplug"));
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1025)}));
  EXPECT_EQ(app.open_message_boxes().size(), 1u) << "asked once: " << app.describe();
  ASSERT_TRUE(app.answer(question));
  const auto code = app.wait_for_exit();
  ASSERT_TRUE(code.has_value()) << app.describe();
  EXPECT_EQ(*code, 0u);
}

TEST(UpdateSequence, CloseDuringATransferIsRefusedAndDoesNotCutItOff) {
  UpdaterRig rig("seq-cancel");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 300000);
  ASSERT_TRUE(rig.start_update({"--rate", "300000"}));
  auto& app = rig.app();
  ASSERT_TRUE(rig.wait_capture_size(20000));
  ASSERT_TRUE(app.close());
  EXPECT_NE(app.wait_for_message_box(msg(2010)), nullptr) << app.describe();
  HWND box = app.wait_for_message_box(msg(1035));  // no database: the command ends the process
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_TRUE(::IsWindowVisible(app.main_dialog()));
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware})));
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

TEST(UpdateSequence, StalledDeviceFailsTheTransferWithoutHangingAndSendsNoLaterFile) {
  UpdaterRig rig("seq-stall");
  rig.write_update_file("firmware.cam", 200000);
  rig.write_update_file("image.cam", 3000, 1, 9);
  ASSERT_TRUE(rig.start_update({"--stall-after", "50000"}));
  auto& app = rig.app();
  // Two bounded waits of 30 s for the stalled chunk, then the failure.
  HWND box = app.wait_for_message_box(msg(2002), Millis{150000});
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_EQ(app.text(kResultText), msg(2001));
  ASSERT_TRUE(app.answer(box));
  EXPECT_LE(rig.capture().size(), 50000u + 65536u);
  EXPECT_EQ(app.count_seen(msg(1010)), 0u);
  EXPECT_TRUE(app.process().running());
}

}  // namespace
}  // namespace pw::e2e
