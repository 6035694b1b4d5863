#pragma once
// Hears the workflow's events for the run's details and hands each on to the
// front end: the host gives this to the workflow in the front end's stead. Pure.
#include <string>

#include "host/forwarding_frontend.h"
#include "host/run_details.h"
#include "win/guard.h"

namespace pw {

class RecordingFrontend final : public ForwardingFrontend {
 public:
  RecordingFrontend(Frontend& shown, RunDetails& details) noexcept : ForwardingFrontend(&shown), details_(details) {}

  void command_begins() noexcept override;
  void linked(bool linked) noexcept override;
  void files_begin() noexcept override;
  void folder_being_checked(const std::string& text) noexcept override;
  void folder_checked(const std::vector<std::string>& lines) noexcept override;
  void writing_begins() noexcept override;
  void file_appeared(std::size_t file) noexcept override;
  void step_begins(std::size_t file, const char* name, const std::string& text) noexcept override;
  void transfer_begins(std::size_t file, std::uint32_t bytes) noexcept override;
  void file_result(std::size_t file, FileOutcome outcome, std::uint32_t bytes_sent) noexcept override;
  bool message(const std::string& text, MessageStyle style) noexcept override;
  bool device_lost(const std::string& question) noexcept override;
  void installer_wanted(const std::string& path) noexcept override;
  void files_handed_over() noexcept override;
  void command_ended(CommandEnd end, CommandResult result) noexcept override;
  void memory_ran_out() noexcept override;
  void driver_not_answering() noexcept override;

  void library_bound(const std::string& path, const std::string& version, const char* open_dev_export,
                     const char* open_file_export) noexcept override;
  void update_folder(const std::string& folder) noexcept override;
  void file_decided(std::size_t file, const char* name, long long size, int send_flag,
                    const char* decision) noexcept override;
  void file_loaded(std::size_t file, std::uint32_t bytes, const std::string& sha256) noexcept override;
  void identification_done(const std::uint8_t* reply, std::size_t size, bool identified,
                           unsigned elapsed_ms) noexcept override;
  void transfer_ended(std::size_t file, std::uint32_t sent, std::uint32_t total, unsigned elapsed_ms,
                      std::uint32_t repeats, const std::uint32_t* offsets, std::size_t offsets_known) noexcept override;

 private:
  // Records `line`; memory that runs out only costs the record that line.
  void add(const std::string& line) noexcept;
  void add(const char* line) noexcept;
  // Builds and records a line the same way.
  template <class Work>
  static void record(Work&& work) noexcept {
    static_cast<void>(ran_out_of_memory(std::forward<Work>(work)));
  }
  std::string name_of(std::size_t file) const;

  RunDetails& details_;
  int linked_ = -1;          // the link last recorded; the poll repeats itself
  std::string library_;      // the binding last recorded, likewise
};

// A reply's bytes as space-separated lowercase hex, and as text ('.' for a byte
// that is not printable ASCII).
std::string hex_bytes(const std::uint8_t* bytes, std::size_t size);
std::string printable_bytes(const std::uint8_t* bytes, std::size_t size);

}  // namespace pw
