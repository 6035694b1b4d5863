#include "host/recording_frontend.h"

#include <cstdio>
#include <new>

#include "update/hex.h"
#include "update/update_plan.h"

namespace pw {

namespace {

const char* result_name(CommandResult result) {
  switch (result) {
    case CommandResult::completed: break;
    case CommandResult::not_linked: return "device not linked";
    case CommandResult::wrong_device: return "wrong device";
    case CommandResult::file_refused: return "file refused";
    case CommandResult::transfer_failed: return "transfer failed";
    case CommandResult::no_library: return "pipe library not loaded";
    case CommandResult::out_of_memory: return "memory ran out";
    case CommandResult::driver_held:
    case CommandResult::driver_stuck: return "the device driver does not answer";
    case CommandResult::low_battery: return "on battery with a low charge";
    case CommandResult::folder_refused: return "update folder refused";
    case CommandResult::stopped: return "stopped as asked";
  }
  return "completed";
}

std::string seconds(unsigned ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%03u s", ms / 1000, ms % 1000);
  return text;
}

}  // namespace

std::string hex_bytes(const std::uint8_t* bytes, std::size_t size) {
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) hex += (i > 0 ? " " : "") + to_hex(bytes + i, 1);
  return hex;
}

std::string printable_bytes(const std::uint8_t* bytes, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i)
    text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
  return text;
}

void RecordingFrontend::add(const std::string& line) noexcept {
  record([&] { details_.add(line); });
}

void RecordingFrontend::add(const char* line) noexcept {
  record([&] { details_.add(line); });
}

std::string RecordingFrontend::name_of(std::size_t file) const {
  return file < kUpdateFiles.size() ? kUpdateFiles[file].name : "?";
}

void RecordingFrontend::command_begins() noexcept {
  add("update command begins");
  ForwardingFrontend::command_begins();
}

void RecordingFrontend::linked(bool linked) noexcept {
  if (linked_ != static_cast<int>(linked)) {
    linked_ = linked;
    add(linked ? "device linked" : "device not linked");
  }
  ForwardingFrontend::linked(linked);
}

void RecordingFrontend::folder_being_checked(const std::string& text) noexcept {
  record([&] { add("step: " + text); });
  ForwardingFrontend::folder_being_checked(text);
}

void RecordingFrontend::folder_checked(const std::vector<std::string>& lines) noexcept {
  for (const std::string& line : lines) add("update folder " + line);
  ForwardingFrontend::folder_checked(lines);
}

void RecordingFrontend::files_begin() noexcept {
  add("files begin");
  ForwardingFrontend::files_begin();
}

void RecordingFrontend::writing_begins() noexcept {
  add("the device receives its first byte: the update may no longer be stopped");
  ForwardingFrontend::writing_begins();
}

void RecordingFrontend::file_appeared(std::size_t file) noexcept {
  record([&] { add("file " + name_of(file) + " appeared after the update folder was read: not sent"); });
  ForwardingFrontend::file_appeared(file);
}

void RecordingFrontend::step_begins(std::size_t file, const char* name, const std::string& text) noexcept {
  record([&] { add(std::string("step: ") + name); });
  ForwardingFrontend::step_begins(file, name, text);
}

void RecordingFrontend::transfer_begins(std::size_t file, std::uint32_t bytes) noexcept {
  record([&] { add("transfer of " + name_of(file) + " begins: " + std::to_string(bytes) + " bytes"); });
  ForwardingFrontend::transfer_begins(file, bytes);
}


void RecordingFrontend::file_result(std::size_t file, FileOutcome outcome, std::uint32_t bytes_sent) noexcept {
  record([&] {
    add("result of " + name_of(file) + ": " + outcome_name(outcome) + ", " + std::to_string(bytes_sent) +
        " payload bytes sent");
  });
  ForwardingFrontend::file_result(file, outcome, bytes_sent);
}

bool RecordingFrontend::message(const std::string& text, MessageStyle style) noexcept {
  record([&] { add(std::string("box (") + style_name(style) + "): " + text); });
  const bool acknowledged = ForwardingFrontend::message(text, style);
  add(acknowledged ? "box answered: OK" : "box answered: closed");
  return acknowledged;
}

bool RecordingFrontend::device_lost(const std::string& question) noexcept {
  record([&] { add("question (device lost): " + question); });
  const bool ends = ForwardingFrontend::device_lost(question);
  add(ends ? "question answered: the program ends" : "question answered: the program goes on");
  return ends;
}

void RecordingFrontend::installer_wanted(const std::string& path) noexcept {
  record([&] { add("driver installer wanted: " + (path.empty() ? std::string("(path too long)") : path)); });
  ForwardingFrontend::installer_wanted(path);
}

void RecordingFrontend::files_handed_over() noexcept {
  add("every file handed to the device");
  ForwardingFrontend::files_handed_over();
}

void RecordingFrontend::driver_not_answering() noexcept {
  add("the device driver is not answering a presence probe");
  linked_ = -1;  // its next answer is recorded again
  ForwardingFrontend::driver_not_answering();
}

void RecordingFrontend::memory_ran_out() noexcept {
  add(std::string("box (warning): ") + kOutOfMemoryText);
  ForwardingFrontend::memory_ran_out();
}

void RecordingFrontend::command_ended(CommandEnd end, CommandResult result) noexcept {
  record([&] {
    add(std::string("update command ended: ") + result_name(result) +
        (end == CommandEnd::process_ends ? ", the program ends" : ", the program goes on"));
  });
  ForwardingFrontend::command_ended(end, result);
}

void RecordingFrontend::library_bound(const std::string& path, const std::string& version,
                                      const char* open_dev_export, const char* open_file_export) noexcept {
  record([&] {
    std::string line = "pipe library: " + path + ", file version " + (version.empty() ? "none" : version) +
                       ", exports " + open_dev_export + " and " + open_file_export;
    if (line != library_) add(line);
    library_ = std::move(line);
  });
  ForwardingFrontend::library_bound(path, version, open_dev_export, open_file_export);
}

void RecordingFrontend::update_folder(const std::string& folder) noexcept {
  record([&] { add("update folder: " + folder); });
  ForwardingFrontend::update_folder(folder);
}

void RecordingFrontend::file_decided(std::size_t file, const char* name, long long size, int send_flag,
                                     const char* decision) noexcept {
  record([&] {
    add(std::string("file ") + name + ": " + (size < 0 ? std::string("not opened") : std::to_string(size) + " bytes") +
        ", send flag " + (send_flag < 0 ? std::string("unread") : std::to_string(send_flag)) + ", " + decision);
  });
  ForwardingFrontend::file_decided(file, name, size, send_flag, decision);
}

void RecordingFrontend::file_loaded(std::size_t file, std::uint32_t bytes, const std::string& sha256) noexcept {
  record([&] { add("loaded " + name_of(file) + ": " + std::to_string(bytes) + " bytes, SHA-256 " + sha256); });
  ForwardingFrontend::file_loaded(file, bytes, sha256);
}

void RecordingFrontend::identification_done(const std::uint8_t* reply, std::size_t size, bool identified,
                                            unsigned elapsed_ms) noexcept {
  record([&] {
    const std::string answer = size == 0
                                   ? std::string("no reply")
                                   : "reply " + hex_bytes(reply, size) + " \"" + printable_bytes(reply, size) + "\"";
    add("identification: " + answer + ", " + (identified ? "the right model" : "not identified") + ", took " +
        seconds(elapsed_ms));
  });
  ForwardingFrontend::identification_done(reply, size, identified, elapsed_ms);
}

void RecordingFrontend::transfer_ended(std::size_t file, std::uint32_t sent, std::uint32_t total, unsigned elapsed_ms,
                                       std::uint32_t repeats, const std::uint32_t* offsets,
                                       std::size_t offsets_known) noexcept {
  record([&] {
    const unsigned long long rate = elapsed_ms ? static_cast<unsigned long long>(sent) * 1000u / elapsed_ms : 0;
    std::string line = "transfer of " + name_of(file) + ": " + std::to_string(sent) + " of " + std::to_string(total) +
                       " payload bytes sent in " + seconds(elapsed_ms) + ", " + std::to_string(rate) + " bytes/s, " +
                       std::to_string(repeats) + " cancelled and repeated";
    for (std::size_t i = 0; i < offsets_known; ++i) line += (i == 0 ? " at byte " : ", ") + std::to_string(offsets[i]);
    if (repeats > offsets_known && offsets_known > 0) line += ", ...";
    add(line);
  });
  ForwardingFrontend::transfer_ended(file, sent, total, elapsed_ms, repeats, offsets, offsets_known);
}

}  // namespace pw
