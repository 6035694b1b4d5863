#include "tests/e2e/updater_rig.h"

#include <fstream>

namespace pw::e2e {

std::string lang(const char* section, int key) {
  return read_profile_string(join_path(bin_folder(), kLangIni), section, std::to_string(key));
}

UpdaterRig::UpdaterRig(const std::string& tag)
    : folder_(tag),
      device_(sim::unique_device_name(tag)),
      capture_path_(folder_.file("device-capture.bin")),
      installer_log_(folder_.file("installer.log")) {}

UpdaterRig::~UpdaterRig() {
  app_.process().kill();
  devsim_.stop();
}

::testing::AssertionResult UpdaterRig::start_device(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--capture", capture_path_};
  all.insert(all.end(), args.begin(), args.end());
  const std::string log = folder_.file("devsim.log");
  devsim_.set_output_file(log);
  if (devsim_.launch(device_, all)) return ::testing::AssertionSuccess();
  const tools::Bytes said = sim::read_file_bytes(log);
  return ::testing::AssertionFailure() << "the device did not start: " << devsim_.failure() << "; its log: \""
                                       << std::string(said.begin(), said.end()) << "\"";
}

LaunchOptions UpdaterRig::updater_options(const std::string& current_directory) const {
  LaunchOptions options;
  options.current_directory = current_directory;
  options.environment = {{"PUSHWELL_SIM_DEVICE", device_}, {"PUSHWELL_SIM_INSTALLER_LOG", installer_log_}};
  return options;
}

bool UpdaterRig::start_updater(const std::string& exe) { return start_updater_in(folder_.path(), exe); }

bool UpdaterRig::start_updater_in(const std::string& current_directory, const std::string& exe) {
  return app_.start(exe.empty() ? default_updater() : exe, updater_options(current_directory)) &&
         app_.wait_for_main_dialog() != nullptr;
}

std::string UpdaterRig::default_updater() {
  if (std::string(kLibraryUnderTest) == kLibraryDll) return join_path(bin_folder(), kUpdaterExe);
  // The library beside the updater in bin is the plain one: install a copy with the
  // library under test, once per scenario.
  if (installed_updater_.empty()) installed_updater_ = install_updater(folder_.subfolder("updater"));
  return installed_updater_;
}

bool UpdaterRig::start_updater_linked() {
  return start_updater() && app_.wait_for_text(kLinkStatus, {msg(1024)});
}

tools::Bytes UpdaterRig::write_update_file(const std::string& name, std::size_t payload_size,
                                           std::uint8_t send_flag, std::uint32_t seed) {
  tools::CamFields fields;
  fields.send_flag = send_flag;
  fields.filler = 0xA5;  // must never reach the device
  fields.command = tools::generated_payload(46, seed + 1000);
  tools::Bytes file = tools::build_update_file(fields, tools::generated_payload(payload_size, seed));
  write_bytes(name, file);
  return file;
}

bool UpdaterRig::write_bytes(const std::string& name, const tools::Bytes& bytes) {
  return write_text_file(folder_.file(name), std::string(bytes.begin(), bytes.end()));
}

void UpdaterRig::write_short_firmware() {
  tools::Bytes file = write_update_file("firmware.cam", 4);
  file.pop_back();
  write_bytes("firmware.cam", file);
}

::testing::AssertionResult UpdaterRig::start_update(const std::vector<std::string>& device_args) {
  if (::testing::AssertionResult started = start_device(device_args); !started) return started;
  if (!start_updater_linked()) return ::testing::AssertionFailure() << "the updater did not link; " << app_.describe();
  if (!app_.click(kUpdateButton)) return ::testing::AssertionFailure() << "the update button cannot be clicked";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult UpdaterRig::finishes_with(const tools::Bytes& expected) {
  HWND finished = app_.wait_for_message_box(msg(1010));
  if (!finished) return ::testing::AssertionFailure() << "no final box; " << app_.describe();
  if (::testing::AssertionResult same = capture_becomes(expected); !same) return same;
  if (!app_.answer(finished)) return ::testing::AssertionFailure() << "the final box did not close";
  if (!app_.wait_for_exit()) return ::testing::AssertionFailure() << "the updater did not end";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult UpdaterRig::run_command_answering(const std::string& box_text) {
  if (!app_.click(kUpdateButton)) return ::testing::AssertionFailure() << "the update button cannot be clicked";
  HWND box = app_.wait_for_message_box(box_text);
  if (!box) return ::testing::AssertionFailure() << "no box \"" << box_text << "\"; " << app_.describe();
  if (!app_.answer(box)) return ::testing::AssertionFailure() << "the box did not close";
  return ::testing::AssertionSuccess();
}

tools::Bytes UpdaterRig::capture() const {
  devsim_.command("flush");
  return sim::read_file_bytes(capture_path_);
}

::testing::AssertionResult UpdaterRig::capture_becomes(const tools::Bytes& expected, Millis timeout) const {
  tools::Bytes got;
  if (poll_until([&] { return (got = capture()) == expected; }, timeout)) return ::testing::AssertionSuccess();
  std::size_t first_difference = 0;
  while (first_difference < got.size() && first_difference < expected.size() &&
         got[first_difference] == expected[first_difference])
    ++first_difference;
  return ::testing::AssertionFailure() << "the device captured " << got.size() << " bytes, expected "
                                       << expected.size() << "; first difference at byte " << first_difference;
}

bool UpdaterRig::wait_capture_size(std::size_t size, Millis timeout) const {
  return poll_until([&] { return capture().size() >= size; }, timeout);
}

sim::Status UpdaterRig::device_status() const {
  sim::Status status;
  devsim_.status(&status);
  return status;
}

bool UpdaterRig::device_command(const std::string& command) const { return devsim_.command(command); }

std::vector<sim::InstallerRun> UpdaterRig::installer_runs() const { return sim::read_installer_log(installer_log_); }

tools::Bytes expected_stream(const std::vector<tools::Bytes>& files_sent) {
  tools::Bytes stream = {0x40};
  for (const tools::Bytes& file : files_sent) {
    const tools::Bytes part = tools::device_stream(file);
    stream.insert(stream.end(), part.begin(), part.end());
  }
  return stream;
}

}  // namespace pw::e2e
