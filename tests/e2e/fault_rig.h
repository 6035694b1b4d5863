#pragma once
// What the fault tables and the soak share: update files planned by name, the
// check that the device got nothing but an honest prefix of the update stream,
// a scenario runner that answers the boxes a fault may bring, the updater's
// thread count, a drive letter for a folder, paths beyond MAX_PATH, and large
// update files compared by digest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/updater_rig.h"

namespace pw::e2e {

// The update files in the order the updater sends them.
inline constexpr const char* kUpdateFileOrder[] = {"firmware.cam", "image.cam", "imageru.cam", "sound.cam",
                                                   "database.cam"};

struct PlannedFile {
  const char* name;
  std::size_t payload;     // bytes after the header block
  std::uint8_t flag = 1;   // send flag
};

// Writes the files into the rig's current directory. Returns the contents of the
// flagged ones in the order the updater sends them.
std::vector<tools::Bytes> write_planned_files(UpdaterRig& rig, const std::vector<PlannedFile>& files);

// A text the user may be shown: a [message] key of the shipped lang.ini, or a literal text.
struct Shown {
  int key = 0;
  std::optional<std::string> literal = std::nullopt;
  std::string text() const { return literal ? *literal : msg(key); }
};
inline Shown literal_text(std::string text) { return Shown{0, std::move(text)}; }
inline Shown wrong_device() { return literal_text(kWrongDevice); }
inline Shown library_unloaded() { return literal_text(kLibraryUnloaded); }

// The capture may hold only a prefix of `stream` (never a byte the files do not
// hold), and all of it once the updater has reported the update as finished.
::testing::AssertionResult delivered_honestly(const tools::Bytes& capture, const tools::Bytes& stream,
                                              bool reported_finished);

// The capture once it holds `size` bytes, or as it stands when the deadline
// passes first: bytes still in the pipe reach the device after the program has gone.
tools::Bytes settled_capture(const UpdaterRig& rig, std::size_t size, Millis timeout = Millis{10000});

enum class Ending { exits, keeps_running };

struct Expectation {
  std::vector<Shown> required;  // each shown at least once
  std::vector<Shown> allowed;   // may be shown as well; any other box is a fault
  Ending ending = Ending::keeps_running;
};

// Answers every required and allowed box with OK until the program has exited
// (with status 0) or, when it keeps running, until every required box has been
// seen and none is open. Then checks that no other box was shown. Only boxes
// from the `first_box`-th of boxes_seen() on count (by default those that appear
// from the call on); `shown` receives them.
inline constexpr std::size_t kBoxesFromNow = static_cast<std::size_t>(-1);
::testing::AssertionResult run_to_end(DialogApp& app, const Expectation& expected, Millis timeout = kDeadline,
                                      std::vector<SeenBox>* shown = nullptr, std::size_t first_box = kBoxesFromNow);

// Threads of process `pid` now, from a Toolhelp snapshot; -1 when none could be taken.
int thread_count(DWORD pid);

// A drive letter mapped to a folder for every process of this session, removed
// at the end of the scope. DefineDosDevice where the system honours it for file
// access; under Wine, which does not, a link in the prefix's dosdevices folder.
class ScopedDriveLetter {
 public:
  // Takes the first letter of `candidates` that is not in use.
  explicit ScopedDriveLetter(const std::string& folder, const char* candidates = "QPOKJWV");
  ~ScopedDriveLetter();
  ScopedDriveLetter(const ScopedDriveLetter&) = delete;
  ScopedDriveLetter& operator=(const ScopedDriveLetter&) = delete;

  bool ok() const noexcept { return !device_.empty(); }
  // "Q:\" and so on; empty when no letter could be mapped.
  std::string root() const { return ok() ? device_ + "\\" : std::string(); }

 private:
  bool map(const std::string& device, const std::string& folder);
  std::string device_;        // "Q:"
  std::string target_;        // the folder, for DefineDosDevice
  std::string unix_link_;     // the dosdevices link, when Wine's was made
};

// Paths longer than MAX_PATH, through the "\\?\" form of the wide calls.
bool create_folder_chain(const std::string& path);
bool write_file_anywhere(const std::string& path, const tools::Bytes& bytes);
bool remove_tree_anywhere(const std::string& folder);

// Size and FNV-1a hash of a byte stream, built piece by piece.
struct StreamDigest {
  std::uint64_t size = 0;
  std::uint64_t hash = 0xcbf29ce484222325ull;
  void add(const std::uint8_t* data, std::size_t n);
  bool operator==(const StreamDigest& other) const { return size == other.size && hash == other.hash; }
};
std::ostream& operator<<(std::ostream& os, const StreamDigest& digest);

// Writes an update file with a generated payload block by block, never holding it
// whole. Returns the digest of what the device must receive (0x40 first).
std::optional<StreamDigest> write_large_update_file(const std::string& path, std::uint64_t payload_size,
                                                    std::uint8_t send_flag, std::uint32_t seed);
// Digest of a file read block by block; nullopt when it cannot be read.
std::optional<StreamDigest> digest_of_file(const std::string& path);

// Pushwell.exe and BMC51xUSB.dll copied into `folder`, with `lang_ini` as the
// language file beside them (none when nullopt). Returns the executable's path.
std::string install_updater_with_lang(const std::string& folder, const std::optional<std::string>& lang_ini);

// The current test's full name, for labels and screenshots.
std::string current_test_label();
// Saves the program's windows under <bin>\e2e-failures when the test has failed.
void keep_screenshots_on_failure(const DialogApp& app);

}  // namespace pw::e2e
