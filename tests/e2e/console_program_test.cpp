// Where pushwell-cli differs from the dialog: it prints instead of showing,
// and its exit status says how the update ended.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

struct CliRun {
  std::optional<DWORD> exit_status;
  std::string output;
};

// Runs pushwell-cli from bin with `arguments`, against the rig's device, its
// standard output into a file (or onto `console`, a screen buffer of the test's
// own console); waits for it with the usual deadline.
CliRun run_cli(UpdaterRig& rig, const std::string& arguments, HANDLE console = nullptr) {
  CliRun run;
  const std::string output_path = rig.folder().file("cli-output.txt");
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE output = console ? console
                          : ::CreateFileA(output_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return run;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  startup.hStdInput = nullptr;
  std::string command = "\"" + join_path(bin_folder(), "pushwell-cli.exe") + "\" " + arguments;
  ::SetEnvironmentVariableA("PUSHWELL_SIM_DEVICE", rig.device().c_str());
  PROCESS_INFORMATION process{};
  std::string failure;
  const bool started = sim::create_process_tried(
      [&] {
        return ::CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, console ? 0 : CREATE_NO_WINDOW, nullptr,
                                rig.folder().path().c_str(), &startup, &process) != 0;
      },
      command, &failure);
  ::SetEnvironmentVariableA("PUSHWELL_SIM_DEVICE", nullptr);
  if (!console) ::CloseHandle(output);
  if (!started) {
    run.output = "not started: " + failure;
    return run;
  }
  if (::WaitForSingleObject(process.hProcess, static_cast<DWORD>(kDeadline.count())) == WAIT_OBJECT_0) {
    DWORD status = 0;
    if (::GetExitCodeProcess(process.hProcess, &status)) run.exit_status = status;
  } else {
    ::TerminateProcess(process.hProcess, 99);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  const auto bytes = sim::read_file_bytes(output_path);
  run.output.assign(bytes.begin(), bytes.end());
  return run;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

TEST(ConsoleProgram, CompletesAnUpdateAndSaysSoWithStatusZero) {
  UpdaterRig rig("cli-update");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 70000, 1, 1);
  rig.write_update_file("sound.cam", 3000, 0, 2);
  const tools::Bytes database = rig.write_update_file("database.cam", 5000, 1, 3);
  ASSERT_TRUE(rig.start_device());
  const CliRun run = run_cli(rig, "update \"" + rig.folder().path() + "\"");
  EXPECT_EQ(run.exit_status, std::optional<DWORD>(0)) << run.output;
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware, database})));
  EXPECT_NE(run.output.find("firmware.cam: sent"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("sound.cam: not sent"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("firmware.cam 100%"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(msg(1010)), std::string::npos) << run.output;
}

// A console of the test's own for one test; the test's standard handles are put back after it.
class OwnConsole {
 public:
  OwnConsole() : saved_{::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE), ::GetStdHandle(STD_ERROR_HANDLE)} {
    ::FreeConsole();
    if (!::AllocConsole()) return;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    output_ = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
  }
  ~OwnConsole() {
    if (output_ != INVALID_HANDLE_VALUE) ::CloseHandle(output_);
    ::FreeConsole();
    ::SetStdHandle(STD_INPUT_HANDLE, saved_[0]);
    ::SetStdHandle(STD_OUTPUT_HANDLE, saved_[1]);
    ::SetStdHandle(STD_ERROR_HANDLE, saved_[2]);
  }
  HANDLE output() const { return output_ == INVALID_HANDLE_VALUE ? nullptr : output_; }
  // The screen buffer's rows as text, blank ones left out.
  std::vector<std::string> rows() const {
    std::vector<std::string> rows;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(output_, &info)) return rows;
    std::vector<wchar_t> row(static_cast<std::size_t>(info.dwSize.X) + 1);
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
      DWORD read = 0;
      if (!::ReadConsoleOutputCharacterW(output_, row.data(), info.dwSize.X, COORD{0, y}, &read)) continue;
      std::wstring text(row.data(), read);
      while (!text.empty() && text.back() == L' ') text.pop_back();
      if (!text.empty()) rows.push_back(utf8(text.c_str()));
    }
    return rows;
  }

 private:
  HANDLE saved_[3];
  HANDLE output_ = INVALID_HANDLE_VALUE;
};

// On a real console each line appears once, in UTF-16, not again as UTF-8 bytes.
TEST(ConsoleProgram, OnAConsoleEachLineAppearsOnce) {
  UpdaterRig rig("cli-console");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 5000, 1, 1);
  const tools::Bytes database = rig.write_update_file("database.cam", 3000, 1, 2);
  ASSERT_TRUE(rig.start_device());
  const OwnConsole console;
  ASSERT_NE(console.output(), nullptr) << "no console: " << ::GetLastError();
  const CliRun run = run_cli(rig, "update \"" + rig.folder().path() + "\"", console.output());
  EXPECT_EQ(run.exit_status, std::optional<DWORD>(0));
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware, database})));
  const std::vector<std::string> rows = console.rows();
  std::string shown;
  for (const std::string& row : rows) shown += row + "\n";
  for (const std::string& line : {std::string("firmware.cam: sent"), std::string("database.cam: sent"), msg(1010)}) {
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [&](const std::string& r) { return r.find(line) != std::string::npos; }), 1)
        << line << " in:\n" << shown;
  }
}

// No device, and a driver installer in the folder: the console program never
// starts it, it says where it is, and ends with status 2.
TEST(ConsoleProgram, WithoutADeviceNamesTheInstallerInTheFolderAndEndsWithStatusTwo) {
  UpdaterRig rig("cli-installer");
  const std::string installer = rig.folder().file("InstallUsbDrive.exe");
  ASSERT_TRUE(copy_file(join_path(bin_folder(), "InstallUsbDrive.exe"), installer));
  rig.write_update_file("firmware.cam", 3000, 1, 1);
  const CliRun run = run_cli(rig, "update \"" + rig.folder().path() + "\"");
  EXPECT_EQ(run.exit_status, std::optional<DWORD>(2)) << run.output;
  EXPECT_NE(run.output.find(installer), std::string::npos) << run.output;
  EXPECT_TRUE(rig.installer_runs().empty()) << "a script cannot answer an installer";
}

// A first presence probe that never answers: one message, that the driver is not
// answering, and status 10, as for a silent probe found at the folder's reading.
TEST(ConsoleProgram, AFirstProbeThatNeverAnswersSaysSoOnceWithStatusTen) {
  UpdaterRig rig("cli-stuck-probe");
  rig.write_update_file("firmware.cam", 3000, 1, 1);
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.device_command("hang-probe 60000"));
  const CliRun run = run_cli(rig, "update \"" + rig.folder().path() + "\"");
  EXPECT_EQ(run.exit_status, std::optional<DWORD>(10)) << run.output;
  EXPECT_NE(run.output.find(msg(2017)), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find(msg(1021)), std::string::npos) << "not also \"not connected\": " << run.output;
}

TEST(ConsoleProgram, AWrongDeviceEndsWithStatusThree) {
  UpdaterRig rig("cli-wrong");
  rig.write_update_file("firmware.cam", 3000, 1, 1);
  ASSERT_TRUE(rig.start_device({"--reply-byte", "0x57"}));
  const CliRun run = run_cli(rig, "update");
  EXPECT_EQ(run.exit_status, std::optional<DWORD>(3)) << run.output;
  EXPECT_NE(run.output.find(kWrongDevice), std::string::npos) << run.output;
  EXPECT_TRUE(rig.capture_becomes(tools::Bytes{0x40}));
}

TEST(ConsoleProgram, ARefusedFileEndsWithStatusFourBeforeAByteOfIt) {
  UpdaterRig rig("cli-refused");
  rig.write_short_firmware();
  ASSERT_TRUE(rig.start_device());
  const CliRun run = run_cli(rig, "update");
  EXPECT_EQ(run.exit_status, std::optional<DWORD>(4)) << run.output;
  EXPECT_NE(run.output.find(msg(1023)), std::string::npos) << run.output;
  EXPECT_TRUE(rig.capture_becomes(tools::Bytes{0x40}));
}

TEST(ConsoleProgram, JsonGivesOneEventObjectALineEndingWithTheStatus) {
  UpdaterRig rig("cli-json");
  rig.write_update_file("firmware.cam", 30000, 1, 1);
  rig.write_update_file("database.cam", 3000, 1, 2);
  ASSERT_TRUE(rig.start_device());
  const CliRun run = run_cli(rig, "update --json");
  EXPECT_EQ(run.exit_status, std::optional<DWORD>(0)) << run.output;
  const std::vector<std::string> lines = lines_of(run.output);
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    EXPECT_EQ(line.front(), '{') << line;
    EXPECT_EQ(line.back(), '}') << line;
    EXPECT_EQ(line.rfind("{\"event\":\"", 0), 0u) << line;
  }
  EXPECT_EQ(lines.front(), R"({"event":"linked","linked":true})");
  EXPECT_EQ(lines.back(), R"({"event":"end","exit":0})");
  const auto has = [&](const std::string& wanted) {
    for (const std::string& line : lines)
      if (line == wanted) return true;
    return false;
  };
  EXPECT_TRUE(has(R"({"event":"step","file":"firmware.cam"})")) << run.output;
  EXPECT_TRUE(has(R"({"event":"progress","file":"firmware.cam","percent":100})")) << run.output;
  EXPECT_TRUE(has(R"({"event":"result","file":"database.cam","outcome":"sent"})")) << run.output;
}

// A script polling `status` while the window updater flashes probes nothing and
// ends with 6, and the update goes on unharmed.
TEST(ConsoleProgram, StatusWhileAnotherUpdaterFlashesEndsWithSixAndProbesNothing) {
  UpdaterRig rig("cli-status-busy");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 600000, 1, 1);
  const tools::Bytes database = rig.write_update_file("database.cam", 4000, 1, 2);
  ASSERT_TRUE(rig.start_update({"--rate", "200000"}));
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.wait_capture_size(20000)) << app.describe();
  const CliRun run = run_cli(rig, "status");
  EXPECT_EQ(run.exit_status, std::optional<DWORD>(6)) << run.output;
  EXPECT_NE(run.output.find(msg(2013)), std::string::npos) << run.output;
  EXPECT_TRUE(rig.finishes_with(expected_stream({firmware, database})));
}

}  // namespace
}  // namespace pw::e2e
