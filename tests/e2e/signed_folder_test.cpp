// An updater built with a maker's key takes only a folder that key signed, and
// checks it before the device receives a byte.
#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>

#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

constexpr char kSignedUpdater[] = "Pushwell-signed-test.exe";

// Signs the rig's folder as the maker does, with camtool and the test maker's key.
::testing::AssertionResult sign_folder(UpdaterRig& rig) {
  std::string command = "\"" + join_path(bin_folder(), "camtool.exe") + "\" sign --key \"" +
                        join_path(bin_folder(), "test-maker.pem") + "\" \"" + rig.folder().path() + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string failure;
  if (!sim::create_process_tried(
          [&] {
            return ::CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                                    &startup, &process) != 0;
          },
          command, &failure))
    return ::testing::AssertionFailure() << failure;
  const UniqueHandle owned_process(process.hProcess);
  const UniqueHandle owned_thread(process.hThread);
  DWORD status = 1;
  if (::WaitForSingleObject(process.hProcess, static_cast<DWORD>(kDeadline.count())) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(process.hProcess, &status) || status != 0)
    return ::testing::AssertionFailure() << command << " ended with " << status;
  return ::testing::AssertionSuccess();
}

// The device, then the updater built with the test maker's key, linked; Update clicked.
::testing::AssertionResult start_signed_update(UpdaterRig& rig) {
  if (::testing::AssertionResult started = rig.start_device(); !started) return started;
  if (!rig.start_updater(join_path(bin_folder(), kSignedUpdater)) ||
      !rig.app().wait_for_text(kLinkStatus, {msg(1024)}))
    return ::testing::AssertionFailure() << "the updater did not link; " << rig.app().describe();
  if (!rig.app().click(kUpdateButton)) return ::testing::AssertionFailure() << "Update cannot be clicked";
  return ::testing::AssertionSuccess();
}

TEST(SignedFolder, CompletesByteExact) {
  UpdaterRig rig("signed-good");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 70000, 1, 1);
  const tools::Bytes database = rig.write_update_file("database.cam", 4000, 1, 2);
  ASSERT_TRUE(sign_folder(rig));
  ASSERT_TRUE(start_signed_update(rig));
  EXPECT_TRUE(rig.finishes_with(expected_stream({firmware, database})));
}

// A file changed after the maker signed the folder: the box names it, the device
// receives nothing, not even the identification byte, and Update stays usable.
TEST(SignedFolder, ATamperedFileIsRefusedWithNothingAtTheDevice) {
  UpdaterRig rig("signed-tampered");
  rig.write_update_file("firmware.cam", 70000, 1, 1);
  rig.write_update_file("database.cam", 4000, 1, 2);
  ASSERT_TRUE(sign_folder(rig));
  rig.write_update_file("firmware.cam", 70000, 1, 3);  // same size and header, other payload
  ASSERT_TRUE(start_signed_update(rig));
  DialogApp& app = rig.app();
  HWND refused = app.wait_for_message_box(msg(2028));
  ASSERT_NE(refused, nullptr) << app.describe();
  EXPECT_NE(message_box_text(refused).find("firmware.cam"), std::string::npos) << message_box_text(refused);
  EXPECT_EQ(rig.device_status().bytes_received, 0u);
  ASSERT_TRUE(app.answer(refused));
  EXPECT_TRUE(app.wait_until([&] { return app.enabled(kUpdateButton); })) << app.describe();
  EXPECT_EQ(rig.device_status().bytes_received, 0u);
  EXPECT_TRUE(app.process().running());
}

// The run's details as the system menu's "Copy details" puts them on the clipboard,
// once they hold `wanted`.
std::optional<std::string> details_once_they_hold(DialogApp& app, const std::string& wanted) {
  std::optional<std::string> text;
  const bool held = poll_until([&] {
    if (!clear_clipboard() || !app.system_command(0x20)) return false;  // IDM_COPY_DETAILS
    poll_until([&] { return (text = clipboard_text()) && !text->empty(); }, Millis{2000});
    return text && text->find(wanted) != std::string::npos;
  });
  return held ? text : std::nullopt;
}

// A file dropped into a signed folder while its files go out (a share, another
// program) was not there when the folder was read: nothing of it is sent, and
// the update completes with what the maker signed.
TEST(SignedFolder, AFileAddedWhileTheUpdateRunsSendsNothingOfIt) {
  UpdaterRig rig("signed-added");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 400000, 1, 1);
  const tools::Bytes database = rig.write_update_file("database.cam", 100000, 1, 2);
  ASSERT_TRUE(sign_folder(rig));
  ASSERT_TRUE(rig.start_device({"--rate", "200000"}));
  LaunchOptions options = rig.updater_options(rig.folder().path());
  options.arguments = "update --report";
  options.output_path = rig.folder().file("cli-output.txt");
  Process cli;
  ASSERT_TRUE(cli.start(join_path(bin_folder(), "pushwell-cli-signed-test.exe"), options)) << cli.error();
  ASSERT_TRUE(rig.wait_capture_size(20000));
  rig.write_update_file("image.cam", 3000, 1, 3);
  EXPECT_EQ(cli.wait_for_exit(), std::optional<DWORD>(0));
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware, database})));
  const tools::Bytes said = sim::read_file_bytes(options.output_path);
  const std::string output(said.begin(), said.end());
  EXPECT_NE(output.find("file image.cam appeared after the update folder was read: not sent"), std::string::npos)
      << output;
}

// Without a list too: a file edited after the folder was read, its header intact,
// is not sent; what went before it stays sent.
TEST(SignedFolder, AFileChangedAfterTheFolderWasReadIsNotSent) {
  UpdaterRig rig("read-then-changed");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 400000, 1, 1);
  rig.write_update_file("sound.cam", 3000, 1, 2);
  ASSERT_TRUE(rig.start_update({"--rate", "200000"}));
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.wait_capture_size(20000)) << app.describe();
  rig.write_update_file("sound.cam", 3000, 1, 3);  // same size and header, other payload
  HWND refused = app.wait_for_message_box(msg(2007));
  ASSERT_NE(refused, nullptr) << app.describe();
  EXPECT_NE(message_box_text(refused).find("sound.cam"), std::string::npos) << message_box_text(refused);
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware})));
  ASSERT_TRUE(app.answer(refused));
  EXPECT_TRUE(app.process().running());
}

// With the maker's key built in, the driver installer beside the update files runs
// only as the signed list names it.
TEST(SignedFolder, TheInstallerStartsOnlyWhenTheSignedListNamesIt) {
  UpdaterRig unlisted("signed-installer-unlisted");
  unlisted.write_update_file("firmware.cam", 3000, 1, 1);
  ASSERT_TRUE(sign_folder(unlisted));
  ASSERT_TRUE(copy_file(join_path(bin_folder(), "InstallUsbDrive.exe"), unlisted.folder().file("InstallUsbDrive.exe")));
  ASSERT_TRUE(unlisted.start_device({"--unplugged"}));
  ASSERT_TRUE(unlisted.start_updater(join_path(bin_folder(), kSignedUpdater)));
  EXPECT_TRUE(unlisted.app().wait_for_text(kLinkStatus, {msg(1025)}));
  const std::optional<std::string> details = details_once_they_hold(unlisted.app(), "InstallUsbDrive.exe: not started");
  EXPECT_TRUE(details.has_value()) << "the details never said why the installer did not start";
  EXPECT_TRUE(unlisted.installer_runs().empty());
  EXPECT_TRUE(unlisted.app().boxes_seen().empty()) << unlisted.app().describe();
  unlisted.app().process().kill();

  UpdaterRig listed("signed-installer-listed");
  listed.write_update_file("firmware.cam", 3000, 1, 1);
  ASSERT_TRUE(copy_file(join_path(bin_folder(), "InstallUsbDrive.exe"), listed.folder().file("InstallUsbDrive.exe")));
  ASSERT_TRUE(sign_folder(listed));
  ASSERT_TRUE(listed.start_device({"--unplugged"}));
  ASSERT_TRUE(listed.start_updater(join_path(bin_folder(), kSignedUpdater)));
  EXPECT_TRUE(poll_until([&] { return listed.installer_runs().size() == 1; })) << listed.app().describe();
  EXPECT_TRUE(details_once_they_hold(listed.app(), "InstallUsbDrive.exe: started").has_value());
  EXPECT_EQ(listed.installer_runs().size(), 1u);
}

}  // namespace
}  // namespace pw::e2e
