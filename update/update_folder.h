#pragma once
// The update folder as one update command reads it, once, before the device
// receives a byte: for each update file whether it is there, its size, its header
// as checked and the SHA-256 of all its bytes, and the verdict of its signed list.
// The command decides from this value alone, and the worker sends a file only when
// the bytes it loads are the bytes read here. The driver installer is checked the
// same way before it is started. Pure: the platform reads through FolderEffects
// (folder_check.h does so for a real folder).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "update/bounded_read.h"
#include "update/folder_verdict.h"
#include "update/sha256.h"
#include "update/update_file.h"
#include "update/update_plan.h"

namespace pw {

// One file as it was read.
struct FolderFile {
  // Opened, missing or locked; the header check once the whole file was read
  // (empty when a read failed).
  FileProbe probe;
  std::uint64_t size = 0;  // when opened
  std::array<std::uint8_t, kHeaderCheckSize> header{};
  std::uint32_t header_size = 0;  // bytes of `header` the file has
  std::optional<Digest> sha256;   // of every byte, once the whole file was read
  ReadEnd read = ReadEnd::done;   // how the read ended, when opened

  bool present() const noexcept { return probe.open != FileProbe::Open::missing; }
  // The send flag, or -1 when the header was not read so far.
  int send_flag() const noexcept { return header_size >= 2 ? header[1] : -1; }
};

struct UpdateFolder {
  std::string path;
  std::array<FolderFile, kUpdateFiles.size()> files;  // not read when the list was refused
  FolderVerdict verdict;
};

// A small file of the folder read whole, up to a limit.
struct FileBytes {
  enum class State { absent, unreadable, read };
  State state = State::absent;
  std::vector<std::uint8_t> bytes;
};

// The platform's work on one folder.
class FolderEffects : public TrustedSigner {
 public:
  // The file `name` of the folder, at most `limit` bytes of it.
  virtual FileBytes read_small_file(const char* name, std::size_t limit) = 0;
  // The file `name` read whole, with sharing denied while it is read.
  virtual FolderFile read_file(const char* name) = 0;
  // Where a list is in force, before the first update file is read (the long
  // part): `signer` is the verified key's fingerprint, empty when the signature
  // is not checked.
  virtual void hashing_begins(const std::string& /*signer*/) {}

 protected:
  ~FolderEffects() = default;
};

// Reads the list and its signature (each once), then, unless they refuse the
// folder, each update file once, and judges them.
UpdateFolder read_update_folder(const std::string& path, bool build_has_keys, FolderEffects& effects);

// Takes the bytes of a file the platform has opened, in order, as they are read:
// keeps its header, counts and hashes every byte. finish() checks the header and
// keeps the SHA-256 only when the read got every byte.
class FolderFileReading {
 public:
  explicit FolderFileReading(FolderFile& file) noexcept : file_(file) {}
  void add(const std::uint8_t* data, std::uint32_t size) noexcept;
  void finish(ReadEnd end);

 private:
  FolderFile& file_;
  Sha256 hash_;
  std::uint64_t bytes_ = 0;
};

// Whether a file loaded for sending holds exactly the bytes read into the snapshot.
bool loaded_as_read(const FolderFile& read, std::uint64_t size, const Digest& sha256) noexcept;

enum class InstallerVerdict {
  start,          // no list and none needed, or the list names it with its hash
  absent,         // not in the folder
  list_refused,   // the list (or its signature) is not taken, or a build with keys has none
  not_listed,     // a list in force does not name it
  differs,        // its bytes are not the listed ones
  unreadable,     // it could not be read whole
};

// Whether the driver installer may be started: without keys and without a list
// as ever; where a list is in force, only as the list names it.
InstallerVerdict judge_installer(const FolderVerdict& list, const FolderFile& installer) noexcept;
// Reads the list, its signature and the installer, and judges.
InstallerVerdict check_installer(bool build_has_keys, FolderEffects& effects);

// English, for the run's details.
const char* installer_verdict_name(InstallerVerdict verdict) noexcept;

}  // namespace pw
