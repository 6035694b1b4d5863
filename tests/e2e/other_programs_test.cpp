// What other programs' messages may not do to an update: a polite close of the
// console program (what taskkill without /f sends), a WM_QUIT, or the folder's
// reading arriving while the lost-device question is open.
#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>

#include "tests/e2e/fault_rig.h"
#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

// The run's details as Ctrl+C copies them from `window`, once they hold `wanted`.
std::optional<std::string> details_holding(DialogApp& app, HWND window, const std::string& wanted,
                                           Millis deadline = kDeadline) {
  std::optional<std::string> text;
  const bool found = app.wait_until([&] {
    ::SetForegroundWindow(window);
    if (::GetForegroundWindow() != window || !clear_clipboard()) return false;
    send_key('C', VK_CONTROL);
    poll_until([&] { return (text = clipboard_text()) && !text->empty(); }, Millis{2000});
    return text && text->find(wanted) != std::string::npos;
  }, deadline);
  return found ? text : std::nullopt;
}

// WM_CLOSE to every window of the console program while a file goes out: refused
// like the dialog's close, so the update completes byte for byte and ends with 0.
TEST(OtherPrograms, AWindowCloseDuringAConsoleUpdateIsRefusedAndTheUpdateCompletes) {
  UpdaterRig rig("others-cli-close");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 300000, 1, 1);
  const tools::Bytes database = rig.write_update_file("database.cam", 4000, 1, 2);
  ASSERT_TRUE(rig.start_device({"--rate", "200000"}));
  LaunchOptions options = rig.updater_options(rig.folder().path());
  options.arguments = "update";
  options.output_path = rig.folder().file("cli-output.txt");
  Process cli;
  ASSERT_TRUE(cli.start(join_path(bin_folder(), "pushwell-cli.exe"), options)) << cli.error();
  ASSERT_TRUE(rig.wait_capture_size(20000));
  const std::vector<HWND> windows = windows_of_process(cli.id());
  ASSERT_FALSE(windows.empty()) << "the console program shows no window to close";
  for (HWND window : windows) EXPECT_TRUE(close_window(window));
  EXPECT_EQ(cli.wait_for_exit(), std::optional<DWORD>(0));
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware, database})));
}

// A WM_QUIT posted to the dialog's thread while the firmware goes out: the file
// finishes whole, nothing more starts, and the program then ends as asked.
// A firmware and a database, the firmware going out (the first of its bytes at the device).
tools::Bytes update_with_firmware_going_out(UpdaterRig& rig) {
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 300000, 1, 1);
  rig.write_update_file("database.cam", 4000, 1, 2);
  EXPECT_TRUE(rig.start_update({"--rate", "200000"}));
  EXPECT_TRUE(rig.wait_capture_size(20000)) << rig.app().describe();
  return firmware;
}

bool post_quit_to_dialog(DialogApp& app) {
  return ::PostThreadMessageW(::GetWindowThreadProcessId(app.main_dialog(), nullptr), WM_QUIT, 0, 0) != 0;
}

// The program has ended as asked, without a box: the firmware whole at the device, nothing of the database.
void expect_firmware_alone(UpdaterRig& rig, const tools::Bytes& firmware) {
  EXPECT_EQ(settled_capture(rig, expected_stream({firmware}).size()), expected_stream({firmware}))
      << "the firmware whole, and nothing of the database";
  EXPECT_TRUE(rig.app().boxes_seen().empty()) << rig.app().describe();
}

TEST(OtherPrograms, AQuitDuringATransferLetsTheFileFinishWholeAndThenEnds) {
  UpdaterRig rig("others-quit");
  const tools::Bytes firmware = update_with_firmware_going_out(rig);
  ASSERT_FALSE(HasFailure());
  ASSERT_TRUE(post_quit_to_dialog(rig.app()));
  EXPECT_TRUE(rig.app().wait_for_exit().has_value()) << rig.app().describe();
  expect_firmware_alone(rig, firmware);
}

// A WM_QUIT posted while the driver never returns from opening the pipe for the
// second file: the program ends once the open's bound has passed, without a box,
// with the firmware whole at the device and nothing of the database.
TEST(OtherPrograms, AQuitWhileThePipeOpenNeverReturnsEndsTheProgramWithinItsBound) {
  UpdaterRig rig("others-quit-open");
  const tools::Bytes firmware = update_with_firmware_going_out(rig);  // its pipe is open
  ASSERT_FALSE(HasFailure());
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.device_command("slow-open 60000"));  // returns long after the wait below
  ASSERT_TRUE(rig.capture_becomes(expected_stream({firmware}))) << app.describe();
  ASSERT_TRUE(app.wait_for_text(kStepText, {msg(1026)})) << app.describe();  // its worker is opening the pipe
  ASSERT_TRUE(post_quit_to_dialog(app));
  EXPECT_TRUE(app.wait_for_exit(Millis{40000}).has_value()) << "still running: " << app.describe();
  expect_firmware_alone(rig, firmware);
}

// The folder's reading (slow: a large file) arrives while the lost-device question
// an unplug raised is open: nothing starts behind the question, not even the
// identification byte, and its answer ends the program as ever.
TEST(OtherPrograms, TheFolderReadBehindTheLostDeviceQuestionStartsNothing) {
  UpdaterRig rig("others-read-behind-box");
  rig.write_short_firmware();
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  DialogApp& app = rig.app();
  // A first command passes the identification and ends early on the firmware:
  // an unplug from now on asks the lost-device question.
  ASSERT_TRUE(rig.run_command_answering(msg(1023)));
  ASSERT_TRUE(rig.wait_capture_size(1));
  ASSERT_TRUE(app.wait_until([&] { return app.enabled(kUpdateButton); }));
  // A sparse file reads fast from no disk, yet is hashed whole: the next reading
  // takes seconds on a fast machine, and many on a busy one.
  {
    const std::string sound = rig.folder().file("sound.cam");
    rig.write_update_file("sound.cam", 4, 1, 2);
    UniqueHandle file(::CreateFileA(sound.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.valid());
    LARGE_INTEGER size{};
    size.QuadPart = 2LL << 30;
    ASSERT_TRUE(::SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.get()));
  }
  ASSERT_TRUE(app.click(kUpdateButton));
  ASSERT_TRUE(rig.device_command("unplug"));
  HWND question = app.wait_for_message_box(msg(1021));
  ASSERT_NE(question, nullptr) << app.describe();
  ASSERT_TRUE(details_holding(app, question, "folder_read waits", Millis{240000}).has_value())
      << "the folder's reading never arrived behind the question";
  EXPECT_EQ(rig.device_status().identify_requests, 1) << "an identification started behind the question";
  ASSERT_TRUE(app.answer(question));
  EXPECT_TRUE(app.wait_for_exit().has_value()) << app.describe();
  EXPECT_EQ(rig.capture(), tools::Bytes({0x40}));
}

}  // namespace
}  // namespace pw::e2e
