#pragma once
// The update folder read off the host's thread, each reading, look and check on
// a thread of its own that posts its answer to the host's window: the folder as
// one command reads it, whether a file absent from that reading has appeared
// since, and the driver installer checked against the folder's list before it
// starts. Nothing here waits for the disk; what a thread still uses is shared
// with it, so the host may go before it.
#include <windows.h>

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "update/folder_check.h"
#include "update/update_folder.h"
#include "update/update_plan.h"
#include "win/posted_call.h"

namespace pw {

class FolderReader {
 public:
  // The host window's messages for each kind of answer.
  struct Messages {
    UINT hashing_begins, folder_read, late_file, installer_checked;
  };
  explicit FolderReader(const Messages& messages) noexcept : messages_(messages) {}

  // Starts reading `folder` with the keys built in; false when no thread could start.
  bool read(HWND window, const std::string& folder) noexcept;
  // The reading is not waited for any more.
  void stop_reading() noexcept;
  // For kFolderHashing: the step text's signer (the verified key, empty when none),
  // when `id` is the reading under way's.
  std::optional<std::string> signer_of(WPARAM id) const;
  // For kFolderRead: the folder as read, once, when `serial` is the reading's;
  // `memory_ran_out` says the reading had no room.
  bool is_reading(WPARAM serial) const noexcept { return reading_.is(serial); }
  std::unique_ptr<UpdateFolder> take_folder(bool& memory_ran_out) noexcept;

  void look_for_late_file(HWND window, std::size_t file, const std::string& path) noexcept;
  // For kLateFile: the file that appeared, if `serial` answers a look that found it.
  std::optional<std::size_t> late_file_found(WPARAM serial) noexcept;

  void check_installer(HWND window, const std::string& folder) noexcept;
  // For kInstallerChecked: the installer as checked, if `serial` is the check's.
  std::optional<CheckedInstaller> installer_checked(WPARAM serial, bool& memory_ran_out) noexcept;
  // For a loop that serves no more messages: waits up to `bound_ms` for the
  // installer's check under way; its serial once it has returned, else 0.
  std::uint32_t wait_for_installer_check(unsigned bound_ms) const noexcept;

 private:
  struct Note;  // shared with the reading's thread: the signer it found
  Messages messages_;
  PostedCall<UpdateFolder> reading_;
  std::shared_ptr<Note> note_;
  std::array<PostedCall<bool>, kUpdateFiles.size()> late_files_;
  PostedCall<CheckedInstaller> installer_;
};

}  // namespace pw
