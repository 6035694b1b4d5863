// An updater built with a maker's key takes only a folder that key signed, and
// checks it before the device receives a byte.
#include <gtest/gtest.h>

#include <windows.h>

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

}  // namespace
}  // namespace pw::e2e
