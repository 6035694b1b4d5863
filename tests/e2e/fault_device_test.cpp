// Device faults end to end: a device that is unplugged, stalls, drops the
// connection, runs slowly or answers the identification badly. Whatever it does,
// it receives only an honest prefix of the update stream, the update is reported
// as finished only when it has received all of it, and the user is told of
// every failure.
#include <gtest/gtest.h>

#include "tests/e2e/fault_rig.h"

namespace pw::e2e {
namespace {

// Bytes on the wire before a file's payload: the identification byte, then per
// file its 48-byte command header.
constexpr std::size_t kIdent = 1;
constexpr std::size_t kHeader = 48;
// A stalled chunk is waited for twice, 30 s each, before the transfer fails.
constexpr Millis kStallDeadline{150000};

struct DeviceFault {
  const char* name;
  std::vector<std::string> device_args;
  std::vector<PlannedFile> files;
  std::size_t files_received;         // flagged files the device gets whole, in order
  std::optional<std::size_t> cut_at;  // exact length of a capture cut off inside a file
  Expectation expected;
  std::optional<bool> button_enabled;  // when the program keeps running
  Millis timeout = kDeadline;
};

void PrintTo(const DeviceFault& fault, std::ostream* os) { *os << fault.name; }

DeviceFault row(const char* name, std::vector<std::string> device_args, std::vector<PlannedFile> files,
                std::size_t files_received, std::optional<std::size_t> cut_at, Expectation expected,
                std::optional<bool> button_enabled = std::nullopt, Millis timeout = kDeadline) {
  return DeviceFault{name,   std::move(device_args), std::move(files), files_received, cut_at,
                     std::move(expected), button_enabled, timeout};
}

const Shown kFinished{1010};
const Shown kNotConnected{1021};
const Shown kNoDatabase{1035};
const Shown kTransferFailed{2002};

// Unplugged while a command runs: the lost-device question ends the program; the
// transfer's own failure or the refused out pipe may come first.
const Expectation kLostDevice{{kNotConnected}, {kTransferFailed}, Ending::exits};
const Expectation kTransferFails{{kTransferFailed}, {}, Ending::keeps_running};
const Expectation kAllSent{{kFinished}, {}, Ending::exits};
const Expectation kNotTheDevice{{wrong_device()}, {}, Ending::exits};

const std::vector<PlannedFile> kOneFirmware = {{"firmware.cam", 10000}};
const std::vector<PlannedFile> kFirmwareAndDatabase = {{"firmware.cam", 5000}, {"database.cam", 3000}};

class FaultDevice : public ::testing::TestWithParam<DeviceFault> {};

TEST_P(FaultDevice, DeviceGetsAnHonestPrefixAndTheUserIsTold) {
  const DeviceFault& fault = GetParam();
  UpdaterRig rig(std::string("fault-dev-") + fault.name);
  const std::vector<tools::Bytes> flagged = write_planned_files(rig, fault.files);
  ASSERT_TRUE(rig.start_device(fault.device_args));
  ASSERT_TRUE(rig.start_updater_linked());
  DialogApp& app = rig.app();
  const std::size_t first_box = app.boxes_seen().size();
  ASSERT_TRUE(app.click(kUpdateButton));

  const tools::Bytes full = expected_stream(flagged);
  const tools::Bytes received =
      expected_stream(std::vector<tools::Bytes>(flagged.begin(), flagged.begin() + fault.files_received));
  const bool finishes = fault.files_received == flagged.size() &&
                        std::any_of(fault.expected.required.begin(), fault.expected.required.end(),
                                    [](const Shown& s) { return s.key == 1010; });
  if (finishes) {
    // Finished means received: every byte is at the device when the box opens.
    HWND box = app.wait_for_message_box(msg(1010), fault.timeout);
    ASSERT_NE(box, nullptr) << app.describe();
    EXPECT_TRUE(delivered_honestly(rig.capture(), full, true));
  }
  EXPECT_TRUE(run_to_end(app, fault.expected, fault.timeout, nullptr, first_box));

  const tools::Bytes capture = settled_capture(rig, fault.cut_at ? *fault.cut_at : received.size());
  EXPECT_TRUE(delivered_honestly(capture, full, app.count_seen(msg(1010)) > 0));
  if (fault.cut_at) {
    EXPECT_EQ(capture.size(), *fault.cut_at);
  } else {
    EXPECT_EQ(capture, received) << "the device should have received exactly " << fault.files_received
                                 << " whole file(s)";
  }
  if (fault.button_enabled && app.process().running()) {
    EXPECT_EQ(app.enabled(kUpdateButton), *fault.button_enabled);
  }
  keep_screenshots_on_failure(app);
}

std::vector<DeviceFault> device_faults() {
  const std::string mid_header = std::to_string(kIdent + 20);
  const std::string mid_chunk = std::to_string(kIdent + kHeader + 3000);
  return {
      // Unplugged.
      row("unplugged_mid_header", {"--unplug-after", mid_header}, kOneFirmware, 0, kIdent + 20, kLostDevice),
      row("unplugged_mid_chunk", {"--unplug-after", mid_chunk}, kOneFirmware, 0, kIdent + kHeader + 3000,
          kLostDevice),
      row("unplugged_between_files", {"--unplug-after", std::to_string(kIdent + kHeader + 5000)},
          {{"firmware.cam", 5000}, {"image.cam", 5000}}, 1, std::nullopt,
          {{kNotConnected}, {kTransferFailed, kNotConnected}, Ending::exits}),
      row("unplugged_with_the_file_still_buffered", {"--unplug-after", mid_header},
          {{"firmware.cam", 1000}, {"database.cam", 1000, 0}}, 0, kIdent + 20,
          {{kNotConnected}, {kTransferFailed, kNoDatabase}, Ending::exits}),
      // Stalled: the bounded waits run out and the transfer fails.
      row("stalled_mid_file", {"--stall-after", mid_chunk}, kOneFirmware, 0, kIdent + kHeader + 3000,
          kTransferFails, false, kStallDeadline),
      // Write errors: the device drops the connection.
      row("write_error_mid_header", {"--fail-after", mid_header}, kOneFirmware, 0, kIdent + 20, kTransferFails,
          false),
      row("write_error_mid_chunk", {"--fail-after", mid_chunk}, kOneFirmware, 0, kIdent + kHeader + 3000,
          kTransferFails, false),
      row("write_error_in_the_second_file",
          {"--fail-after", std::to_string(kIdent + kHeader + 5000 + kHeader + 1000)},
          {{"firmware.cam", 5000}, {"image.cam", 8000}}, 1, kIdent + kHeader + 5000 + kHeader + 1000,
          kTransferFails, false),
      row("write_error_with_the_file_still_buffered", {"--fail-after", mid_header},
          {{"firmware.cam", 1000}, {"database.cam", 1000, 0}}, 0, kIdent + 20, kTransferFails, false),
      row("identification_connection_dropped_after_its_byte", {"--fail-after", "1"}, kFirmwareAndDatabase, 2,
          std::nullopt, kAllSent),
      // A slow line is not a timeout: a chunk that needs a long wait still gets through.
      row("slow_line_20000_bytes_per_second", {"--rate", "20000"}, {{"firmware.cam", 30000}}, 1, std::nullopt,
          {{kNoDatabase}, {}, Ending::exits}),
      row("slow_line_1000_bytes_per_second", {"--rate", "1000"}, {{"firmware.cam", 6000}, {"database.cam", 100}},
          2, std::nullopt, kAllSent),
      // The identification reply.
      row("reply_delayed_within_the_wait", {"--reply-delay", "400"}, kFirmwareAndDatabase, 2, std::nullopt,
          kAllSent),
      row("reply_delayed_past_the_wait", {"--reply-delay", "15000"}, kFirmwareAndDatabase, 0, std::nullopt,
          kNotTheDevice),
      row("reply_with_a_wrong_first_byte", {"--reply-byte", "0x57"}, kFirmwareAndDatabase, 0, std::nullopt,
          kNotTheDevice),
      // devsim cannot send a reply of no bytes: on a byte pipe that is the same as none.
      row("reply_empty", {"--no-reply"}, kFirmwareAndDatabase, 0, std::nullopt, kNotTheDevice),
      row("reply_of_a_zero_byte", {"--reply-hex", "00"}, kFirmwareAndDatabase, 0, std::nullopt, kNotTheDevice),
      row("reply_longer_than_ten_bytes", {"--reply", "V1.07-and-then-a-much-longer-answer"}, kFirmwareAndDatabase,
          2, std::nullopt, kAllSent),
      row("reply_longer_than_ten_bytes_and_wrong", {"--reply", "v1.07-and-then-a-much-longer-answer"},
          kFirmwareAndDatabase, 0, std::nullopt, kNotTheDevice),
  };
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultDevice, ::testing::ValuesIn(device_faults()),
                         [](const ::testing::TestParamInfo<DeviceFault>& info) { return std::string(info.param.name); });


TEST(FaultDeviceLink, PluggedAndUnpluggedWhileIdleTheStatusFollowsWithoutBoxOrSecondInstallerStart) {
  UpdaterRig rig("fault-dev-flapping");
  ASSERT_TRUE(copy_file(join_path(bin_folder(), "InstallUsbDrive.exe"), rig.folder().file("InstallUsbDrive.exe")));
  ASSERT_TRUE(rig.start_device({"--unplugged"}));
  ASSERT_TRUE(rig.start_updater());
  DialogApp& app = rig.app();
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1025)}));
  ASSERT_TRUE(poll_until([&] { return rig.installer_runs().size() == 1; })) << "started once while never seen";
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(rig.device_command("plug"));
    ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)})) << app.describe();
    ASSERT_TRUE(rig.device_command("unplug"));
    ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1025)})) << app.describe();
  }
  EXPECT_TRUE(app.boxes_seen().empty()) << app.describe();
  EXPECT_EQ(rig.installer_runs().size(), 1u);
  EXPECT_TRUE(rig.capture().empty());
  EXPECT_TRUE(app.enabled(kUpdateButton));
  keep_screenshots_on_failure(app);
}

TEST(FaultDeviceLink, UpdaterPointedAtAnUnpluggedDeviceIgnoresAnotherPluggedOne) {
  UpdaterRig rig("fault-dev-other");
  const std::vector<tools::Bytes> flagged = write_planned_files(rig, kFirmwareAndDatabase);
  ASSERT_TRUE(rig.start_device({"--unplugged"}));
  sim::DevsimProcess other;
  const std::string other_capture = rig.folder().file("other-capture.bin");
  ASSERT_TRUE(other.launch(sim::unique_device_name("fault-dev-other-plugged"), {"--capture", other_capture}));
  ASSERT_TRUE(rig.start_updater());
  DialogApp& app = rig.app();
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1025)}));
  ASSERT_TRUE(app.click(kUpdateButton));
  HWND box = app.wait_for_message_box(msg(1021));
  ASSERT_NE(box, nullptr) << app.describe();
  ASSERT_TRUE(app.answer(box));

  // Plugged, its own device takes the update; the other one never hears of it.
  ASSERT_TRUE(rig.device_command("plug"));
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)}));
  ASSERT_TRUE(app.click(kUpdateButton));
  EXPECT_TRUE(run_to_end(app, {{kFinished}, {kNotConnected}, Ending::exits}));
  const tools::Bytes full = expected_stream(flagged);
  EXPECT_EQ(settled_capture(rig, full.size()), full);
  other.command("flush");
  EXPECT_TRUE(sim::read_file_bytes(other_capture).empty());
  sim::Status other_status;
  ASSERT_TRUE(other.status(&other_status));
  EXPECT_EQ(other_status.identify_requests, 0);
  keep_screenshots_on_failure(app);
}

}  // namespace
}  // namespace pw::e2e
