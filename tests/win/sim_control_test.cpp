// The simulated device's control channel, its process life, and the driver
// installer stand-in, against real child processes.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_control.h"
#include "sim/sim_names.h"
#include "tests/win/test_tag.h"
#include "win/handles.h"

namespace {

using pw::UniqueHandle;
using namespace pw::sim;

constexpr DWORD kDeadlineMs = 15000;

using pw::test::test_tag;

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

class SimControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = unique_device_name(test_tag());
    ASSERT_TRUE(sim_.launch(device_));
  }
  std::string reply_to(const std::string& command) {
    std::string reply;
    EXPECT_TRUE(send_command(device_, command, &reply)) << command;
    return reply;
  }
  std::string device_;
  DevsimProcess sim_;
};

TEST_F(SimControlTest, CommandsGetTheirReplyAndBadOnesAnError) {
  struct Case {
    std::string command;
    std::string reply_prefix;
  };
  const Case cases[] = {
      {"ping", "ok pong"},
      {"  ping\r\n", "ok pong"},
      {"status", "ok device=" + device_ + " plugged=1 "},
      {"reply text V9.99 beta", "ok reply=56392E39392062657461 "},
      {"reply byte 0x41", "ok reply=41392E3939"},
      {"reply hex 56 31", "ok reply=5631 "},
      {"reply delay 250", "ok reply=5631 reply_delay=250"},
      {"reply none", "ok reply=none"},
      {"reply default", "ok reply=56312E3037 reply_delay=0"},
      {"rate 1200000", "ok rate=1200000"},
      {"rate unlimited", "ok rate=0"},
      {"fault stall 10", "ok"},
      {"fault none", "ok"},
      {"refuse-load off", "ok refuse_load=off"},
      {"hang-probe 100", "ok hang_probe=100"},
      {"hang-probe off", "ok hang_probe=none"},
      {"slow-open 100 fail from 3", "ok slow_open=100/fail slow_open_from=3"},
      {"slow-open 100 from 2", "ok slow_open=100 slow_open_from=2"},
      {"slow-open 100", "ok slow_open=100 slow_open_from=1"},
      {"slow-open off", "ok slow_open=none"},
      {"", "error"},
      {"bogus", "error"},
      {"ping extra", "error"},
      {"reply", "error"},
      {"reply loud", "error"},
      {"reply hex 5", "error"},
      {"reply hex zz", "error"},
      {"reply byte 0x100", "error"},
      {"reply delay soon", "error"},
      {"reply none now", "error"},
      {"rate fast", "error"},
      {"fault stall", "error"},
      {"fault stall -1", "error"},
      {"fault melt 5", "error"},
      {"refuse-load maybe", "error"},
      {"hang-probe", "error"},
      {"hang-probe soon", "error"},
      {"hang-probe 60001", "error"},
      {"slow-open 100 from 0", "error"},
      {"slow-open 100 from", "error"},
      {"slow-open 100 fail fail", "error"},
      {std::string("pi\0ng", 5), "error"},
  };
  for (const Case& c : cases) {
    const std::string reply = reply_to(c.command);
    EXPECT_TRUE(starts_with(reply, c.reply_prefix)) << "'" << c.command << "' -> '" << reply << "'";
  }
  // "reply text" keeps the value's inner spaces but none of its outer blanks.
  EXPECT_TRUE(starts_with(reply_to("reply text  A B "), "ok reply=412042 "));
  Status s;
  ASSERT_TRUE(query_status(device_, &s));
  EXPECT_TRUE(s.plugged);
  EXPECT_FALSE(s.stalled);
}

TEST_F(SimControlTest, OversizedCommandIsRefusedAndTheDeviceStillAnswers) {
  std::string reply;
  ASSERT_TRUE(send_command(device_, std::string(100000, 'x'), &reply));
  EXPECT_EQ("error command too long", reply);
  // Longer than one read, still within bounds: read whole and judged as one command.
  ASSERT_TRUE(send_command(device_, "reply text " + std::string(6000, 'V'), &reply));
  std::string hex;
  for (int i = 0; i < 6000; ++i) hex += "56";
  EXPECT_EQ(0u, reply.find("ok reply=" + hex + " ")) << reply.substr(0, 80);
  EXPECT_EQ("ok pong", reply_to("ping"));
}

TEST_F(SimControlTest, SeveralClientsMayHoldControlConnectionsAtOnce) {
  char name[kMaxObjectNameLength];
  ASSERT_TRUE(object_name(SimObject::control_pipe, device_.c_str(), name));
  // Two idle clients hold connections; the device must still answer a third.
  std::vector<UniqueHandle> idle;
  for (int i = 0; i < 2; ++i) {
    UniqueHandle h;
    ASSERT_TRUE(wait_until(
        [&] {
          h.reset(::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
          return h.valid();
        },
        kDeadlineMs));
    idle.push_back(std::move(h));
  }
  EXPECT_EQ("ok pong", reply_to("ping"));

  // Several commands on one connection, each answered in turn.
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(::SetNamedPipeHandleState(idle[0].get(), &mode, nullptr, nullptr));
  for (const char* command : {"ping", "status", "ping"}) {
    char reply[4096];
    DWORD n = 0;
    ASSERT_TRUE(::TransactNamedPipe(idle[0].get(), const_cast<char*>(command), static_cast<DWORD>(strlen(command)),
                                    reply, sizeof reply, &n, nullptr));
    EXPECT_TRUE(starts_with(std::string(reply, n), "ok ")) << command;
  }
}

TEST_F(SimControlTest, ResetClearsTheCaptureAndCountersAndResetCountersKeepsTheCapture) {
  ScopedEnvironmentVariable env("PUSHWELL_SIM_DEVICE", device_.c_str());
  sim_.stop();
  const std::string capture = temp_file_path("capture");
  ASSERT_TRUE(sim_.launch(device_, {"--capture", capture}));
  pw::UniqueModule lib(::LoadLibraryA("BMC51xUSB.dll"));
  ASSERT_TRUE(lib);
  using OpenFile = HANDLE(__cdecl*)(const char*);
  const auto open_file = reinterpret_cast<OpenFile>(reinterpret_cast<void*>(::GetProcAddress(lib.get(), "open_file")));
  ASSERT_NE(nullptr, open_file);

  const auto send = [&](std::vector<std::uint8_t> data) {
    UniqueHandle out(open_file("PIPE00"));
    ASSERT_TRUE(out);
    DWORD n = 0;
    UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    if (!::WriteFile(out.get(), data.data(), static_cast<DWORD>(data.size()), nullptr, &ov)) {
      ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
    }
    ASSERT_TRUE(::GetOverlappedResult(out.get(), &ov, &n, TRUE));
  };
  send({0x40, 1, 2});
  ASSERT_TRUE(wait_for_status(device_, [](const Status& s) { return s.bytes_received == 3; }, kDeadlineMs));

  ASSERT_TRUE(sim_.command("reset-counters"));
  Status s;
  ASSERT_TRUE(sim_.status(&s));
  EXPECT_EQ(0u, s.bytes_received);
  EXPECT_EQ(0, s.identify_requests);
  EXPECT_EQ(3u, s.captured);
  EXPECT_EQ(3u, read_file_bytes(capture).size());

  ASSERT_TRUE(sim_.command("reset"));
  ASSERT_TRUE(sim_.status(&s));
  EXPECT_EQ(0u, s.captured);
  EXPECT_TRUE(read_file_bytes(capture).empty());
  send({7, 8});
  ASSERT_TRUE(wait_for_status(device_, [](const Status& st) { return st.bytes_received == 2; }, kDeadlineMs));
  EXPECT_EQ((std::vector<std::uint8_t>{7, 8}), read_file_bytes(capture));
  sim_.stop();
  ::DeleteFileA(capture.c_str());
}

TEST_F(SimControlTest, StopEndsTheProcessCleanly) {
  EXPECT_EQ("ok stopping", reply_to("stop"));
  ASSERT_TRUE(sim_.wait_exit(kDeadlineMs));
  EXPECT_EQ(0u, sim_.exit_code());
  std::string reply;
  EXPECT_FALSE(send_command(device_, "ping", &reply, 500));
}

TEST_F(SimControlTest, SecondDeviceWithTheSameNameRefusesToStart) {
  DevsimProcess twin;
  ASSERT_TRUE(twin.start(device_, {}));
  ASSERT_TRUE(twin.wait_exit(kDeadlineMs));
  EXPECT_NE(0u, twin.exit_code());
  EXPECT_EQ("ok pong", reply_to("ping"));
}

TEST(SimProcess, BadCommandLineEndsWithUsageError) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--rate"}, {"--rate", "fast"}, {"--reply-hex", "5"}, {"--frobnicate"}, {"--hang-probe", "soon"},
           {"--slow-open-from", "2"}, {"--slow-open", "100", "--slow-open-from", "0"}}) {
    DevsimProcess sim;
    ASSERT_TRUE(sim.start(unique_device_name("badargs"), args));
    ASSERT_TRUE(sim.wait_exit(kDeadlineMs));
    EXPECT_EQ(2u, sim.exit_code()) << args[0];
  }
}

TEST(SimProcess, DeviceNameWithAPathSeparatorIsRefused) {
  DevsimProcess sim;
  ASSERT_TRUE(sim.start("bad\\name", {}));
  ASSERT_TRUE(sim.wait_exit(kDeadlineMs));
  EXPECT_EQ(2u, sim.exit_code());
}

// --- The driver installer stand-in ------------------------------------------------------

struct InstallerCase {
  const char* name;
  const char* plugs;  // PUSHWELL_SIM_INSTALLER_PLUGS, null: unset
  bool plugged_after;
};
void PrintTo(const InstallerCase& c, std::ostream* os) { *os << c.name; }

class SimInstallerTest : public ::testing::TestWithParam<InstallerCase> {};

DWORD run_and_wait(const std::string& exe, const std::string& args, const std::string& cwd) {
  std::string command_line = quote_argument(exe) + (args.empty() ? "" : " " + args);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, cwd.c_str(), &si, &pi)) {
    return static_cast<DWORD>(-1);
  }
  UniqueHandle process(pi.hProcess);
  UniqueHandle thread(pi.hThread);
  if (::WaitForSingleObject(process.get(), kDeadlineMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = 0;
  ::GetExitCodeProcess(process.get(), &code);
  return code;
}

TEST_P(SimInstallerTest, EachStartIsLoggedAndPlugsTheDeviceWhenAsked) {
  const InstallerCase& c = GetParam();
  const std::string device = unique_device_name(test_tag());
  DevsimProcess sim;
  ASSERT_TRUE(sim.launch(device, {"--unplugged"}));
  const std::string log = temp_file_path("installer-log");
  ScopedEnvironmentVariable env_device("PUSHWELL_SIM_DEVICE", device.c_str());
  ScopedEnvironmentVariable env_log("PUSHWELL_SIM_INSTALLER_LOG", log.c_str());
  ScopedEnvironmentVariable env_plugs("PUSHWELL_SIM_INSTALLER_PLUGS", c.plugs);

  const std::string exe = path_beside_executable("InstallUsbDrive.exe");
  char temp[MAX_PATH];
  const DWORD n = ::GetTempPathA(MAX_PATH, temp);
  ASSERT_GT(n, 0u);
  std::string cwd(temp, n);
  if (cwd.size() > 3 && cwd.back() == '\\') cwd.pop_back();

  ASSERT_EQ(0u, run_and_wait(exe, "/S", cwd));
  ASSERT_EQ(0u, run_and_wait(exe, "", cwd));
  const std::vector<InstallerRun> runs = read_installer_log(log);
  ASSERT_EQ(2u, runs.size());
  for (const InstallerRun& run : runs) {
    EXPECT_EQ(0, _stricmp(exe.c_str(), run.exe.c_str())) << run.exe;
    EXPECT_EQ(0, _stricmp(cwd.c_str(), run.cwd.c_str())) << run.cwd;
  }
  EXPECT_EQ("/S", runs[0].args);
  EXPECT_EQ("", runs[1].args);
  Status s;
  ASSERT_TRUE(sim.status(&s));
  EXPECT_EQ(c.plugged_after, s.plugged);
  ::DeleteFileA(log.c_str());
}

INSTANTIATE_TEST_SUITE_P(Sim, SimInstallerTest,
                         ::testing::Values(InstallerCase{"Plugs", "1", true}, InstallerCase{"Unset", nullptr, false},
                                           InstallerCase{"Zero", "0", false}),
                         [](const ::testing::TestParamInfo<InstallerCase>& info) { return std::string(info.param.name); });

// --- Helpers other tests rely on -----------------------------------------------------------

TEST(SimHelpers, QuoteArgumentFollowsTheCommandLineRules) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"", "\"\""},
      {"two words", "\"two words\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\dir\\", "C:\\dir\\"},
      {"C:\\my dir\\", "\"C:\\my dir\\\\\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},
  };
  for (const auto& [arg, quoted] : cases) EXPECT_EQ(quoted, quote_argument(arg)) << arg;
}

TEST(SimHelpers, UniqueDeviceNamesAreValidAndDistinct) {
  const std::string a = unique_device_name("Suite/Test#1 with spaces");
  const std::string b = unique_device_name("Suite/Test#1 with spaces");
  EXPECT_NE(a, b);
  EXPECT_TRUE(valid_device_name(a.c_str())) << a;
  EXPECT_TRUE(valid_device_name(unique_device_name(std::string(500, 'x')).c_str()));
}

TEST(SimHelpers, StatusReplyIsParsedAndGarbageRefused) {
  Status s;
  ASSERT_TRUE(parse_status(
      "ok device=d plugged=1 received=123456789012 captured=7 out_clients=2 in_clients=1 identify_requests=3 "
      "stalled=1 refuse_load=0 out_pipe_opens=4",
      &s));
  EXPECT_TRUE(s.plugged);
  EXPECT_EQ(123456789012u, s.bytes_received);
  EXPECT_EQ(7u, s.captured);
  EXPECT_EQ(2, s.out_clients);
  EXPECT_EQ(1, s.in_clients);
  EXPECT_EQ(3, s.identify_requests);
  EXPECT_TRUE(s.stalled);
  EXPECT_EQ(4, s.out_pipe_opens);
  EXPECT_FALSE(parse_status("error bad command: status", &s));
}

}  // namespace
