#include "host/folder_reader.h"

#include <functional>
#include <mutex>

#include "update/signature.h"
#include "win/guard.h"
#include "win/wide_text.h"

namespace pw {

struct FolderReader::Note {
  std::uint32_t id = 0;
  mutable std::mutex lock;  // guards signer
  std::string signer;
};

bool FolderReader::read(HWND window, const std::string& folder) noexcept {
  stop_reading();
  std::shared_ptr<Note> note;
  PostedCall<UpdateFolder>::Work work;
  const UINT hashing = messages_.hashing_begins;
  if (ran_out_of_memory([&] {
        note = std::make_shared<Note>();
        note->id = next_posted_call_serial();
        work = [folder, note, window, hashing](const std::atomic<bool>& stop) {
          const std::function<void(const std::string&)> hashing_begins = [&](const std::string& signer) {
            {
              std::lock_guard<std::mutex> lock(note->lock);
              note->signer = signer;
            }
            ::PostMessageW(window, hashing, note->id, 0);
          };
          return read_update_folder(folder, built_in_trusted_keys(), stop, hashing_begins);
        };
      }))
    return false;
  note_ = std::move(note);
  reading_ = PostedCall<UpdateFolder>::start(window, messages_.folder_read, std::move(work));
  return reading_.started();
}

void FolderReader::stop_reading() noexcept {
  reading_.forget();
  note_.reset();
}

std::optional<std::string> FolderReader::signer_of(WPARAM id) const {
  if (!reading_.started() || !note_ || note_->id != static_cast<std::uint32_t>(id)) return std::nullopt;
  std::lock_guard<std::mutex> lock(note_->lock);
  return note_->signer;
}

std::unique_ptr<UpdateFolder> FolderReader::take_folder(bool& memory_ran_out) noexcept {
  std::optional<UpdateFolder> read = reading_.take();
  stop_reading();
  std::unique_ptr<UpdateFolder> folder;
  memory_ran_out = !read || ran_out_of_memory([&] { folder.reset(new UpdateFolder(std::move(*read))); });
  return folder;
}

void FolderReader::look_for_late_file(HWND window, std::size_t file, const std::string& path) noexcept {
  if (file >= late_files_.size()) return;
  // Only the record misses it when memory runs out.
  static_cast<void>(ran_out_of_memory([&] {
    late_files_[file] = PostedCall<bool>::start(window, messages_.late_file, [path](const std::atomic<bool>&) {
      const DWORD attributes = ::GetFileAttributesW(widen(path).c_str());
      return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    });
  }));
}

std::optional<std::size_t> FolderReader::late_file_found(WPARAM serial) noexcept {
  for (std::size_t file = 0; file < late_files_.size(); ++file) {
    if (!late_files_[file].is(serial)) continue;
    const std::optional<bool> appeared = late_files_[file].take();
    late_files_[file].forget();
    if (appeared && *appeared) return file;
  }
  return std::nullopt;
}

void FolderReader::check_installer(HWND window, const std::string& folder) noexcept {
  static_cast<void>(ran_out_of_memory([&] {
    installer_ = PostedCall<CheckedInstaller>::start(
        window, messages_.installer_checked,
        [folder](const std::atomic<bool>& stop) { return pw::check_installer(folder, built_in_trusted_keys(), stop); });
  }));
}

std::uint32_t FolderReader::wait_for_installer_check(unsigned bound_ms) const noexcept {
  return installer_.started() && !installer_.abandoned() && installer_.wait(bound_ms) ? installer_.serial() : 0;
}

std::optional<CheckedInstaller> FolderReader::installer_checked(WPARAM serial, bool& memory_ran_out) noexcept {
  memory_ran_out = false;
  if (!installer_.is(serial)) return std::nullopt;
  std::optional<CheckedInstaller> checked = installer_.take();
  installer_.forget();
  memory_ran_out = !checked;
  return checked;
}

}  // namespace pw
