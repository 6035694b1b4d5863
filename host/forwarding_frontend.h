#pragma once
// A Frontend that hands every event on to the next one, if any; a listener
// that acts on a few events derives from it and overrides only those.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "session/frontend.h"

namespace pw {

class ForwardingFrontend : public Frontend {
 public:
  ForwardingFrontend() noexcept = default;
  explicit ForwardingFrontend(Frontend* next) noexcept : next_(next) {}
  void forward_to(Frontend* next) noexcept { next_ = next; }

  void command_begins() noexcept override {
    if (next_) next_->command_begins();
  }
  void linked(bool linked) noexcept override {
    if (next_) next_->linked(linked);
  }
  void files_begin() noexcept override {
    if (next_) next_->files_begin();
  }
  void folder_being_checked(const std::string& text) noexcept override {
    if (next_) next_->folder_being_checked(text);
  }
  void folder_checked(const std::vector<std::string>& lines) noexcept override {
    if (next_) next_->folder_checked(lines);
  }
  void writing_begins() noexcept override {
    if (next_) next_->writing_begins();
  }
  void installer_not_started(const std::string& text) noexcept override {
    if (next_) next_->installer_not_started(text);
  }
  void file_appeared(std::size_t file) noexcept override {
    if (next_) next_->file_appeared(file);
  }
  void step_begins(std::size_t file, const char* name, const std::string& text) noexcept override {
    if (next_) next_->step_begins(file, name, text);
  }
  void transfer_begins(std::size_t file, std::uint32_t bytes) noexcept override {
    if (next_) next_->transfer_begins(file, bytes);
  }
  void file_progress(std::size_t file, int percent) noexcept override {
    if (next_) next_->file_progress(file, percent);
  }
  void file_result(std::size_t file, FileOutcome outcome, std::uint32_t bytes_sent) noexcept override {
    if (next_) next_->file_result(file, outcome, bytes_sent);
  }
  // With no one to ask, a message counts as seen and a lost device ends the process.
  bool message(const std::string& text, MessageStyle style) noexcept override {
    return next_ ? next_->message(text, style) : true;
  }
  bool device_lost(const std::string& question) noexcept override {
    return next_ ? next_->device_lost(question) : true;
  }
  void installer_wanted(const std::string& path) noexcept override {
    if (next_) next_->installer_wanted(path);
  }
  void files_handed_over() noexcept override {
    if (next_) next_->files_handed_over();
  }
  void command_ended(CommandEnd end, CommandResult result) noexcept override {
    if (next_) next_->command_ended(end, result);
  }
  void driver_not_answering() noexcept override {
    if (next_) next_->driver_not_answering();
  }
  void memory_ran_out() noexcept override {
    if (next_) next_->memory_ran_out();
  }
  void library_bound(const std::string& path, const std::string& version, const char* open_dev_export,
                     const char* open_file_export) noexcept override {
    if (next_) next_->library_bound(path, version, open_dev_export, open_file_export);
  }
  void update_folder(const std::string& folder) noexcept override {
    if (next_) next_->update_folder(folder);
  }
  void file_decided(std::size_t file, const char* name, long long size, int send_flag,
                    const char* decision) noexcept override {
    if (next_) next_->file_decided(file, name, size, send_flag, decision);
  }
  void file_loaded(std::size_t file, std::uint32_t bytes, const std::string& sha256) noexcept override {
    if (next_) next_->file_loaded(file, bytes, sha256);
  }
  void identification_done(const std::uint8_t* reply, std::size_t size, bool identified,
                           unsigned elapsed_ms) noexcept override {
    if (next_) next_->identification_done(reply, size, identified, elapsed_ms);
  }
  void transfer_ended(std::size_t file, std::uint32_t sent, std::uint32_t total, unsigned elapsed_ms,
                      std::uint32_t repeats, const std::uint32_t* offsets, std::size_t offsets_known) noexcept override {
    if (next_) next_->transfer_ended(file, sent, total, elapsed_ms, repeats, offsets, offsets_known);
  }

 protected:
  ~ForwardingFrontend() = default;

 private:
  Frontend* next_ = nullptr;
};

}  // namespace pw
