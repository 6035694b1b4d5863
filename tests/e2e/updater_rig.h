#pragma once
// One end-to-end scenario: a scratch folder as the updater's current directory, a
// simulated device of its own name with a capture file, and the real Pushwell.exe
// started against it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_control.h"
#include "tools/driver/driver.h"
#include "tools/cam_builder.h"

namespace pw::e2e {

// Language texts as the updater shows them (from the lang.ini beside it in bin).
std::string lang(const char* section, int key);
inline std::string msg(int key) { return lang("message", key); }

inline constexpr int kUpdateButton = 1000;
inline constexpr int kLinkStatus = 1002;
inline constexpr int kStepText = 1004;
inline constexpr int kResultText = 1005;
inline constexpr char kWrongDevice[] = "This is Not ZORVIK !";
inline constexpr char kLibraryUnloaded[] = "BMC51xUSB.dll unloaded";

class UpdaterRig {
 public:
  explicit UpdaterRig(const std::string& tag);
  ~UpdaterRig();

  // Starts devsim.exe for this rig's device with its capture file and `args`.
  ::testing::AssertionResult start_device(const std::vector<std::string>& args = {});
  // Starts the updater (by default the one in bin, or a copy beside the library under
  // test) with the scratch folder as its current directory, talking to this rig's device.
  bool start_updater(const std::string& exe = std::string());
  // As start_updater, from another current directory.
  bool start_updater_in(const std::string& current_directory, const std::string& exe = std::string());
  // Starts the updater and waits for its main dialog and its first presence poll.
  bool start_updater_linked();
  // How this rig starts an updater from `current_directory`: against its device.
  LaunchOptions updater_options(const std::string& current_directory) const;

  // Writes an update file into the current directory and returns its contents.
  tools::Bytes write_update_file(const std::string& name, std::size_t payload_size, std::uint8_t send_flag = 1,
                                 std::uint32_t seed = 1);
  bool write_bytes(const std::string& name, const tools::Bytes& bytes);
  // A firmware file one byte shorter than a header: a command passes identification,
  // then ends early on it with [message] 1023.
  void write_short_firmware();
  // Starts the device with `device_args` and the updater, waits until it is linked
  // and clicks "Update File".
  ::testing::AssertionResult start_update(const std::vector<std::string>& device_args = {});
  // Clicks "Update File", waits for the box with `box_text` and answers it.
  ::testing::AssertionResult run_command_answering(const std::string& box_text);
  // The update finishes: the final box, the capture equal to `expected`, OK, and the process ends.
  ::testing::AssertionResult finishes_with(const tools::Bytes& expected);

  // What the device captured so far.
  tools::Bytes capture() const;
  // Waits until the capture equals `expected`. A pipe write completes once the bytes
  // are in the pipe's buffer, so the device may still be reading when the updater
  // reports; compare only once it has caught up.
  ::testing::AssertionResult capture_becomes(const tools::Bytes& expected, Millis timeout = kDeadline) const;
  // Waits until the capture holds `size` bytes (or more).
  bool wait_capture_size(std::size_t size, Millis timeout = kDeadline) const;
  sim::Status device_status() const;
  bool device_command(const std::string& command) const;
  std::vector<sim::InstallerRun> installer_runs() const;

  ScratchFolder& folder() noexcept { return folder_; }
  DialogApp& app() noexcept { return app_; }
  const std::string& device() const noexcept { return device_; }
  // The file devsim appends every received byte to (call device_command("flush") first).
  const std::string& capture_path() const noexcept { return capture_path_; }

 private:
  std::string default_updater();

  ScratchFolder folder_;
  std::string installed_updater_;
  std::string device_;
  std::string capture_path_;
  std::string installer_log_;
  sim::DevsimProcess devsim_;
  DialogApp app_;
};

// 0x40, then each file's command header and payload, in order.
tools::Bytes expected_stream(const std::vector<tools::Bytes>& files_sent);

}  // namespace pw::e2e
