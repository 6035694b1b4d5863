// The simulated device as the updater sees it: BMC51xUSB.dll loaded at run
// time, talking to a real devsim.exe child process.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "sim/machine_clock.h"
#include "sim/sim_control.h"
#include "win/handles.h"

namespace {

using pw::UniqueHandle;
using namespace pw::sim;
using Bytes = std::vector<std::uint8_t>;

constexpr DWORD kDeadlineMs = 15000;

class DeviceLibrary {
 public:
  bool load() {
    module_.reset(::LoadLibraryA("BMC51xUSB.dll"));
    if (!module_) return false;
    open_dev_ = reinterpret_cast<OpenDev>(reinterpret_cast<void*>(::GetProcAddress(module_.get(), "open_dev")));
    open_file_ = reinterpret_cast<OpenFile>(reinterpret_cast<void*>(::GetProcAddress(module_.get(), "open_file")));
    return open_dev_ && open_file_;
  }
  void unload() { module_.reset(); }
  HANDLE open_dev_raw() const { return open_dev_(); }
  HANDLE open_file_raw(const char* pipe) const { return open_file_(pipe); }
  UniqueHandle open_dev() const { return own(open_dev_()); }
  UniqueHandle open_file(const char* pipe) const { return own(open_file_(pipe)); }

 private:
  using OpenDev = HANDLE(__cdecl*)(void);
  using OpenFile = HANDLE(__cdecl*)(const char*);
  static UniqueHandle own(HANDLE h) { return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h); }
  pw::UniqueModule module_;
  OpenDev open_dev_ = nullptr;
  OpenFile open_file_ = nullptr;
};

struct Io {
  bool ok = false;
  bool went_pending = false;
  bool timed_out = false;
  DWORD moved = 0;
  DWORD error = 0;
};

// One overlapped transfer as the host does it; a timeout cancels and waits.
Io transfer(HANDLE h, bool write, void* data, DWORD size, DWORD timeout_ms = kDeadlineMs) {
  Io io;
  UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  const BOOL started = write ? ::WriteFile(h, data, size, nullptr, &ov) : ::ReadFile(h, data, size, nullptr, &ov);
  if (!started) {
    io.error = ::GetLastError();
    if (io.error != ERROR_IO_PENDING) return io;
    io.went_pending = true;
    if (::WaitForSingleObject(event.get(), timeout_ms) != WAIT_OBJECT_0) {
      io.timed_out = true;
      ::CancelIoEx(h, &ov);
    }
  }
  io.ok = ::GetOverlappedResult(h, &ov, &io.moved, TRUE) != FALSE;
  io.error = io.ok ? 0 : ::GetLastError();
  return io;
}

Io write_bytes(HANDLE h, Bytes data, DWORD timeout_ms = kDeadlineMs) {
  return transfer(h, true, data.data(), static_cast<DWORD>(data.size()), timeout_ms);
}

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes text_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// One private device per test, named after it, with its capture file.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    device_ = unique_device_name(std::string(info->test_suite_name()) + "." + info->name());
    env_ = std::make_unique<ScopedEnvironmentVariable>("PUSHWELL_SIM_DEVICE", device_.c_str());
    capture_ = temp_file_path("capture");
    ASSERT_TRUE(lib_.load());
  }
  void TearDown() override {
    sim_.stop();
    ::DeleteFileA(capture_.c_str());
  }

  void start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--capture", capture_});
    ASSERT_TRUE(sim_.launch(device_, args)) << "devsim did not come up for " << device_;
  }
  void command(const std::string& cmd) {
    std::string reply;
    ASSERT_TRUE(sim_.command(cmd, &reply)) << cmd << " -> " << reply;
  }
  Status status() {
    Status s;
    EXPECT_TRUE(sim_.status(&s));
    return s;
  }
  bool status_becomes(const std::function<bool(const Status&)>& condition) {
    return wait_for_status(device_, condition, kDeadlineMs);
  }
  Bytes captured() {
    sim_.command("flush");
    return read_file_bytes(capture_);
  }

  std::string device_;
  std::unique_ptr<ScopedEnvironmentVariable> env_;
  std::string capture_;
  DeviceLibrary lib_;
  DevsimProcess sim_;
};

// --- Presence --------------------------------------------------------------------

TEST_F(SimTest, OpenDevAndOpenFileFollowPlugAndUnplug) {
  start({"--unplugged"});
  struct Action {
    const char* command;  // null: the state as started
    bool plugged;
  };
  const Action actions[] = {{nullptr, false}, {"plug", true}, {"unplug", false}, {"unplug", false}, {"plug", true}};
  for (const Action& action : actions) {
    SCOPED_TRACE(action.command ? action.command : "start");
    if (action.command) command(action.command);
    const HANDLE dev = lib_.open_dev_raw();
    EXPECT_EQ(action.plugged, dev != INVALID_HANDLE_VALUE);
    EXPECT_NE(nullptr, dev);
    if (dev != INVALID_HANDLE_VALUE) ::CloseHandle(dev);
    for (const char* pipe : {"PIPE00", "PIPE01"}) {
      UniqueHandle h = lib_.open_file(pipe);
      EXPECT_EQ(action.plugged, h.valid()) << pipe;
    }
  }
}

TEST_F(SimTest, HostHoldingAnOpenDevHandleStillSeesTheUnplug) {
  start();
  UniqueHandle held = lib_.open_dev();
  ASSERT_TRUE(held);
  command("unplug");
  EXPECT_EQ(INVALID_HANDLE_VALUE, lib_.open_dev_raw());
  command("plug");
  EXPECT_TRUE(lib_.open_dev());
}

TEST_F(SimTest, OpenFileRejectsUnknownPipeNames) {
  start();
  for (const char* name : {"PIPE02", "PIPE0", "PIPE000", "", "PIPE", "\\\\.\\pipe\\x"}) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, lib_.open_file_raw(name)) << "'" << name << "'";
  }
  EXPECT_EQ(INVALID_HANDLE_VALUE, lib_.open_file_raw(nullptr));
  // Device paths are case-insensitive.
  EXPECT_TRUE(lib_.open_file("pipe00"));
}

TEST_F(SimTest, DevicesWithDifferentNamesStayApart) {
  start();
  const std::string other = unique_device_name("other");
  const std::string other_capture = temp_file_path("other-capture");
  DevsimProcess other_sim;
  ASSERT_TRUE(other_sim.launch(other, {"--capture", other_capture, "--unplugged"}));
  // This test's device is plugged, the other one not: each name sees its own.
  EXPECT_TRUE(lib_.open_dev());
  {
    ScopedEnvironmentVariable use_other("PUSHWELL_SIM_DEVICE", other.c_str());
    EXPECT_EQ(INVALID_HANDLE_VALUE, lib_.open_dev_raw());
  }
  UniqueHandle out = lib_.open_file("PIPE00");
  ASSERT_TRUE(out);
  ASSERT_TRUE(write_bytes(out.get(), {0x40, 1, 2}).ok);
  ASSERT_TRUE(status_becomes([](const Status& s) { return s.bytes_received == 3; }));
  Status other_status;
  ASSERT_TRUE(other_sim.status(&other_status));
  EXPECT_EQ(0u, other_status.bytes_received);
  EXPECT_EQ(0, other_status.identify_requests);
  other_sim.stop();
  EXPECT_TRUE(read_file_bytes(other_capture).empty());
  ::DeleteFileA(other_capture.c_str());
}

// --- Identification ------------------------------------------------------------------

struct ReplyCase {
  const char* name;
  std::vector<std::string> args;
  Bytes expected;
  bool in_pipe_first;  // the host opens PIPE01 before writing the request
  bool read_goes_pending;
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class SimReplyTest : public SimTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(SimReplyTest, IdentificationRequestIsAnsweredOnTheInPipe) {
  const ReplyCase& c = GetParam();
  start(c.args);
  UniqueHandle out = lib_.open_file("PIPE00");
  ASSERT_TRUE(out);
  UniqueHandle in;
  if (c.in_pipe_first) {
    in = lib_.open_file("PIPE01");
    ASSERT_TRUE(status_becomes([](const Status& s) { return s.in_clients == 1; }));
  }
  const Io request = write_bytes(out.get(), {0x40});
  ASSERT_TRUE(request.ok);
  EXPECT_EQ(1u, request.moved);
  if (!c.in_pipe_first) in = lib_.open_file("PIPE01");
  ASSERT_TRUE(in);

  std::uint8_t buffer[64] = {};
  const Io reply = transfer(in.get(), false, buffer, sizeof buffer);
  ASSERT_TRUE(reply.ok) << "error " << reply.error;
  EXPECT_EQ(c.expected, Bytes(buffer, buffer + reply.moved));
  if (c.read_goes_pending) {
    EXPECT_TRUE(reply.went_pending);
  }
  EXPECT_EQ(Bytes{0x40}, captured());
  EXPECT_EQ(1, status().identify_requests);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimReplyTest,
    ::testing::Values(ReplyCase{"Default", {}, text_bytes("V1.07"), false, false},
                      ReplyCase{"DefaultInPipeFirst", {}, text_bytes("V1.07"), true, false},
                      ReplyCase{"Text", {"--reply", "V2.31"}, text_bytes("V2.31"), false, false},
                      ReplyCase{"OtherFirstByte", {"--reply-byte", "0x41"}, text_bytes("A1.07"), false, false},
                      ReplyCase{"Hex", {"--reply-hex", "00 FF 56"}, Bytes{0x00, 0xFF, 0x56}, false, false},
                      ReplyCase{"LongerThanTen", {"--reply", "V1.07-build-0042"}, text_bytes("V1.07-build-0042"), false,
                                false},
                      ReplyCase{"Delayed", {"--reply-delay", "500"}, text_bytes("V1.07"), true, true}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST_F(SimTest, PendingReadWithoutReplyEndsAbortedWhenCancelled) {
  start({"--no-reply"});
  UniqueHandle out = lib_.open_file("PIPE00");
  UniqueHandle in = lib_.open_file("PIPE01");
  ASSERT_TRUE(out && in);
  ASSERT_TRUE(write_bytes(out.get(), {0x40}).ok);
  ASSERT_TRUE(status_becomes([](const Status& s) { return s.identify_requests == 1; }));

  std::uint8_t buffer[16];
  UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  ASSERT_FALSE(::ReadFile(in.get(), buffer, sizeof buffer, nullptr, &ov));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
  // Nothing is coming: the read is still pending a while later.
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event.get(), 300));
  ASSERT_TRUE(::CancelIoEx(in.get(), &ov));
  DWORD moved = 99;
  EXPECT_FALSE(::GetOverlappedResult(in.get(), &ov, &moved, TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), ::GetLastError());
  EXPECT_EQ(0u, moved);
}

TEST_F(SimTest, OnlyTheFirstByteOfAConnectionIsAnIdentificationRequest) {
  start();
  UniqueHandle a = lib_.open_file("PIPE00");
  ASSERT_TRUE(a);
  ASSERT_TRUE(write_bytes(a.get(), {0x41, 0x40}).ok);
  ASSERT_TRUE(write_bytes(a.get(), {0x40}).ok);
  ASSERT_TRUE(status_becomes([](const Status& s) { return s.bytes_received == 3; }));
  EXPECT_EQ(0, status().identify_requests);

  UniqueHandle b = lib_.open_file("PIPE00");
  ASSERT_TRUE(b);
  ASSERT_TRUE(write_bytes(b.get(), {0x40, 0x40}).ok);
  ASSERT_TRUE(status_becomes([](const Status& s) { return s.bytes_received == 5; }));
  EXPECT_EQ(1, status().identify_requests);
  EXPECT_EQ((Bytes{0x41, 0x40, 0x40, 0x40, 0x40}), captured());
}

TEST_F(SimTest, EachRequestIsAnsweredOnItsOwnInConnection) {
  start();
  std::vector<UniqueHandle> kept;  // older in handles a careless host leaves open
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    UniqueHandle out = lib_.open_file("PIPE00");
    ASSERT_TRUE(out);
    ASSERT_TRUE(write_bytes(out.get(), {0x40}).ok);
    UniqueHandle in = lib_.open_file("PIPE01");
    ASSERT_TRUE(in);
    std::uint8_t buffer[16];
    const Io reply = transfer(in.get(), false, buffer, sizeof buffer);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(text_bytes("V1.07"), Bytes(buffer, buffer + reply.moved));
    kept.push_back(std::move(in));
  }
  EXPECT_EQ(3, status().identify_requests);
}

// --- Data on the out pipe ----------------------------------------------------------

TEST_F(SimTest, TwoOutHandlesOpenAtOnceAreBothServedInOrder) {
  start();
  UniqueHandle ident = lib_.open_file("PIPE00");
  ASSERT_TRUE(ident);
  ASSERT_TRUE(write_bytes(ident.get(), {0x40}).ok);
  UniqueHandle transfer_handle = lib_.open_file("PIPE00");
  ASSERT_TRUE(transfer_handle);
  ASSERT_TRUE(status_becomes([](const Status& s) { return s.out_clients == 2; }));

  const Bytes header = pattern(32, 1);
  const Bytes payload = pattern(100000, 2);
  ASSERT_TRUE(write_bytes(transfer_handle.get(), header).ok);
  const Io big = write_bytes(transfer_handle.get(), payload);
  ASSERT_TRUE(big.ok);
  EXPECT_EQ(payload.size(), big.moved);
  ASSERT_TRUE(status_becomes([&](const Status& s) { return s.bytes_received == 1 + header.size() + payload.size(); }));
  EXPECT_EQ(concat({{0x40}, header, payload}), captured());
  // Each connection's first byte is timed on the machine's clock, in order.
  const Status s = status();
  ASSERT_EQ(2u, s.connection_first_bytes_us.size());
  EXPECT_EQ(s.first_byte_us, s.connection_first_bytes_us[0]);
  EXPECT_LT(s.connection_first_bytes_us[0], s.connection_first_bytes_us[1]);
  EXPECT_LE(s.connection_first_bytes_us[1], s.last_byte_us);
  EXPECT_LE(s.last_byte_us, machine_microseconds());

  ident.reset();
  EXPECT_TRUE(status_becomes([](const Status& s) { return s.out_clients == 1; }));
}

TEST_F(SimTest, WriteGoesPendingAtALowLineRateAndCompletes) {
  constexpr std::size_t kChunk = 32 * 1024;
  start({"--rate", "32768"});
  UniqueHandle out = lib_.open_file("PIPE00");
  ASSERT_TRUE(out);
  const Bytes first = pattern(kChunk, 3);
  const Bytes second = pattern(kChunk, 4);
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(write_bytes(out.get(), first).ok);
  const Io io = write_bytes(out.get(), second);
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  ASSERT_TRUE(io.ok) << "error " << io.error;
  EXPECT_TRUE(io.went_pending);
  EXPECT_EQ(kChunk, io.moved);
  // The second chunk waits for the first one's second on the line.
  EXPECT_GE(elapsed, std::chrono::milliseconds(700));
  ASSERT_TRUE(status_becomes([&](const Status& s) { return s.bytes_received == 2 * kChunk; }));
  EXPECT_EQ(concat({first, second}), captured());
}

TEST_F(SimTest, TheLineNeverRunsAheadOfItsRate) {
  // 2048-byte writes, as the updater makes, after a 48-byte header; the first
  // byte seen starts the line's clock.
  constexpr std::uint64_t kRate = 200000;
  start({"--rate", std::to_string(kRate)});
  UniqueHandle out = lib_.open_file("PIPE00");
  ASSERT_TRUE(out);
  Bytes sent = pattern(48, 6);
  ASSERT_TRUE(write_bytes(out.get(), sent).ok);
  for (int chunk = 0; chunk < 100; ++chunk) {
    const Bytes data = pattern(2048, static_cast<std::uint8_t>(chunk));
    ASSERT_TRUE(write_bytes(out.get(), data).ok);
    sent.insert(sent.end(), data.begin(), data.end());
  }
  ASSERT_TRUE(status_becomes([&](const Status& s) { return s.bytes_received == sent.size(); }));
  const Status s = status();
  const double seconds = static_cast<double>(s.last_byte_us - s.first_byte_us) / 1e6;
  ASSERT_GT(seconds, 0.0);
  const double pace = static_cast<double>(s.bytes_received) / seconds;
  EXPECT_LE(pace, static_cast<double>(kRate));
  EXPECT_EQ(sent, captured());

  // After a reset the clock starts again from the next byte.
  ASSERT_TRUE(sim_.command("reset-counters"));
  const Status cleared = status();
  EXPECT_EQ(0, cleared.first_byte_us);
  EXPECT_TRUE(cleared.connection_first_bytes_us.empty());
}

// --- Faults ------------------------------------------------------------------------

struct BreakCase {
  const char* name;
  const char* option;
  bool plugged_after;
};
void PrintTo(const BreakCase& c, std::ostream* os) { *os << c.name; }

class SimBreakTest : public SimTest, public ::testing::WithParamInterface<BreakCase> {};

TEST_P(SimBreakTest, WritesFailOnceTheDeviceBreaksMidStream) {
  const BreakCase& c = GetParam();
  start({c.option, "1000"});
  UniqueHandle out = lib_.open_file("PIPE00");
  ASSERT_TRUE(out);
  const Bytes data = pattern(600 * 10, 5);
  Io io;
  std::size_t chunks = 0;
  const bool failed = wait_until(
      [&] {
        io = write_bytes(out.get(), Bytes(data.begin() + 600 * chunks, data.begin() + 600 * (chunks + 1)), 2000);
        ++chunks;
        return !io.ok || chunks == 10;
      },
      kDeadlineMs, 1);
  ASSERT_TRUE(failed);
  EXPECT_FALSE(io.ok) << "all " << chunks << " writes succeeded";
  EXPECT_FALSE(io.timed_out);
  EXPECT_FALSE(write_bytes(out.get(), {1, 2, 3}, 2000).ok);

  EXPECT_EQ(Bytes(data.begin(), data.begin() + 1000), captured());
  EXPECT_EQ(c.plugged_after, lib_.open_dev().valid());
  EXPECT_EQ(c.plugged_after, status().plugged);
  // Either way the device takes a new connection only while plugged.
  UniqueHandle again = lib_.open_file("PIPE00");
  ASSERT_EQ(c.plugged_after, again.valid());
  if (again) {
    ASSERT_TRUE(write_bytes(again.get(), {9}).ok);
    EXPECT_TRUE(status_becomes([](const Status& s) { return s.bytes_received == 1001; }));
  }
}

INSTANTIATE_TEST_SUITE_P(Sim, SimBreakTest,
                         ::testing::Values(BreakCase{"Unplug", "--unplug-after", false},
                                           BreakCase{"Fail", "--fail-after", true}),
                         [](const ::testing::TestParamInfo<BreakCase>& info) { return std::string(info.param.name); });

TEST_F(SimTest, StalledDeviceKeepsWritesPendingUntilTheFaultIsCleared) {
  start({"--stall-after", "1000"});
  UniqueHandle out = lib_.open_file("PIPE00");
  ASSERT_TRUE(out);
  const Bytes data = pattern(16 * 1024, 6);

  UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  Bytes buffer = data;
  const BOOL done = ::WriteFile(out.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &ov);
  ASSERT_FALSE(done);
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
  ASSERT_TRUE(status_becomes([](const Status& s) { return s.stalled && s.bytes_received == 1000; }));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event.get(), 300));
  EXPECT_EQ(1, status().out_clients);

  command("fault none");
  DWORD moved = 0;
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(event.get(), kDeadlineMs));
  ASSERT_TRUE(::GetOverlappedResult(out.get(), &ov, &moved, TRUE));
  EXPECT_EQ(data.size(), moved);
  ASSERT_TRUE(status_becomes([&](const Status& s) { return s.bytes_received == data.size(); }));
  EXPECT_EQ(data, captured());
}

TEST_F(SimTest, UnplugCommandFailsAPendingWrite) {
  start({"--stall-after", "0"});
  UniqueHandle out = lib_.open_file("PIPE00");
  ASSERT_TRUE(out);
  Bytes data = pattern(16 * 1024, 7);
  UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  ASSERT_FALSE(::WriteFile(out.get(), data.data(), static_cast<DWORD>(data.size()), nullptr, &ov));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), ::GetLastError());
  command("unplug");
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(event.get(), kDeadlineMs));
  DWORD moved = 0;
  EXPECT_FALSE(::GetOverlappedResult(out.get(), &ov, &moved, TRUE));
  EXPECT_TRUE(captured().empty());
}

// --- Loading the library -------------------------------------------------------------

TEST_F(SimTest, RefuseLoadMakesLoadingFailUntilTurnedOff) {
  start();
  lib_.unload();
  ASSERT_EQ(nullptr, ::GetModuleHandleA("BMC51xUSB.dll")) << "another part of this process holds the library";
  command("refuse-load on");
  pw::UniqueModule refused(::LoadLibraryA("BMC51xUSB.dll"));
  EXPECT_FALSE(refused);
  command("refuse-load off");
  pw::UniqueModule loaded(::LoadLibraryA("BMC51xUSB.dll"));
  EXPECT_TRUE(loaded);
  // Another device's refusal does not reach this one.
  loaded.reset();
  const std::string other = unique_device_name("refusing");
  DevsimProcess other_sim;
  ASSERT_TRUE(other_sim.launch(other, {"--refuse-load"}));
  EXPECT_TRUE(pw::UniqueModule(::LoadLibraryA("BMC51xUSB.dll")));
}

}  // namespace
