#include "update/update_folder.h"

#include <algorithm>

#include "update/folder_sums.h"
#include "update/signature.h"

namespace pw {

namespace {

// The list and its signature, each read once.
FolderVerdict read_list(bool build_has_keys, FolderEffects& effects) {
  FolderContents contents;
  contents.build_has_keys = build_has_keys;
  // One byte over each limit, so that too large is told from just fitting.
  FileBytes list = effects.read_small_file(kSumsFileName, kMaxSumsSize + 1);
  contents.list_unreadable = list.state == FileBytes::State::unreadable;
  if (list.state == FileBytes::State::read) contents.list = std::move(list.bytes);
  FileBytes signature = effects.read_small_file(kSumsSignatureFileName, kMaxSignatureSize + 1);
  if (signature.state != FileBytes::State::absent) contents.signature = std::move(signature.bytes);  // unreadable: empty
  return judge_list(contents, effects);
}

}  // namespace

void FolderFileReading::add(const std::uint8_t* data, std::uint32_t size) noexcept {
  const std::size_t room = file_.header.size() - file_.header_size;
  const std::size_t kept = size < room ? size : room;
  std::copy(data, data + kept, file_.header.begin() + file_.header_size);
  file_.header_size += static_cast<std::uint32_t>(kept);
  bytes_ += size;
  hash_.add(data, size);
}

void FolderFileReading::finish(ReadEnd end) {
  file_.read = end;
  file_.sha256.reset();
  file_.probe.header.reset();
  // A file that grew or shrank while it was read is not the file whose size was taken.
  if (end != ReadEnd::done || bytes_ != file_.size) {
    if (end == ReadEnd::done) file_.read = ReadEnd::failed;
    return;
  }
  file_.sha256 = hash_.finish();
  if (file_.sha256) file_.probe.header = check_update_header(file_.header.data(), file_.header_size);
}

UpdateFolder read_update_folder(const std::string& path, bool build_has_keys, FolderEffects& effects) {
  UpdateFolder folder;
  folder.path = path;
  folder.verdict = read_list(build_has_keys, effects);
  if (!folder.verdict.accepted()) return folder;  // nothing more is worth reading
  // The step names the check only where a list is in force, as ever.
  if (folder.verdict.reason != FolderReason::no_list_unsigned) effects.hashing_begins(folder.verdict.signer);
  std::array<bool, kUpdateFiles.size()> present{};
  std::array<std::optional<Digest>, kUpdateFiles.size()> sha256;
  for (std::size_t i = 0; i < kUpdateFiles.size(); ++i) {
    folder.files[i] = effects.read_file(kUpdateFiles[i].name);
    present[i] = folder.files[i].present();
    sha256[i] = folder.files[i].sha256;
  }
  judge_files(folder.verdict, present, sha256);
  return folder;
}

bool loaded_as_read(const FolderFile& read, std::uint64_t size, const Digest& sha256) noexcept {
  return read.sha256 && read.size == size && *read.sha256 == sha256;
}

InstallerVerdict judge_installer(const FolderVerdict& list, const FolderFile& installer) noexcept {
  if (!installer.present()) return InstallerVerdict::absent;
  if (list.reason == FolderReason::no_list_unsigned) return InstallerVerdict::start;
  // A list that is not taken, or missing where keys are built in, vouches for nothing.
  if (!list.accepted()) return InstallerVerdict::list_refused;
  if (!list.installer_listed) return InstallerVerdict::not_listed;
  if (!installer.sha256) return InstallerVerdict::unreadable;
  return *installer.sha256 == *list.installer_listed ? InstallerVerdict::start : InstallerVerdict::differs;
}

InstallerVerdict check_installer(bool build_has_keys, FolderEffects& effects) {
  const FolderVerdict list = read_list(build_has_keys, effects);
  return judge_installer(list, effects.read_file(kInstallerName));
}

const char* installer_verdict_name(InstallerVerdict verdict) noexcept {
  switch (verdict) {
    case InstallerVerdict::start: return "started";
    case InstallerVerdict::absent: return "not in the update folder";
    case InstallerVerdict::list_refused: return "not started: the update folder's signed list SHA256SUMS is not taken";
    case InstallerVerdict::not_listed: return "not started: not in the list SHA256SUMS";
    case InstallerVerdict::differs: return "not started: does not match the list SHA256SUMS";
    case InstallerVerdict::unreadable: return "not started: cannot be read";
  }
  return "not started";
}

}  // namespace pw
