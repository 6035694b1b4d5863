#pragma once
// What the update command does with each of the five update files, decided in one
// place: the command itself and `camtool verify` both ask here. Pure.
#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "lang/text_keys.h"
#include "update/update_file.h"

namespace pw {

struct UpdateFileEntry {
  const char* name;  // in the current directory
  bool needs_link;   // skipped while the device is not linked
  TextKey step_text;
};

// The order in which the files are handled.
inline constexpr std::array<UpdateFileEntry, 5> kUpdateFiles = {{
    {"firmware.cam", false, text::kStepFirmware},
    {"image.cam", false, text::kStepImage},
    {"imageru.cam", true, text::kStepImageRu},
    {"sound.cam", true, text::kStepSound},
    {"database.cam", true, text::kStepDatabase},
}};
inline constexpr std::size_t kLastUpdateFile = kUpdateFiles.size() - 1;

// What looking at a file found.
struct FileProbe {
  enum class Open { opened, missing, not_openable };
  Open open = Open::missing;
  // The header check when the first kHeaderCheckSize bytes could be read;
  // empty when they could not (a read error).
  std::optional<HeaderVerdict> header;
};

enum class FileStep {
  skipped,        // not there, or needs the link: the next file follows, no message
  not_sent,       // accepted with send flag 0: named in the step text, not sent
  sent,           // accepted and to be sent
  command_ends,   // a box with `message` (naming the file when `names_file`); the program goes on
  process_ends,   // a box with `message`; then the process ends
};

struct FileDecision {
  FileStep step = FileStep::skipped;
  std::optional<TextKey> message;
  bool names_file = false;
};

// The decision for file `index` (0 = firmware) given what its probe found and
// whether the device is linked when the file is reached.
FileDecision plan_file(std::size_t index, const FileProbe& probe, bool linked);

// A whole folder: the decisions in order up to the one that ends the command or
// the process (the rest are not looked at), and whether the update completes:
// every file handled, the final box shown, the process ends.
struct UpdatePlan {
  std::vector<FileDecision> decisions;
  bool completes = false;
};
UpdatePlan plan_update(const std::array<FileProbe, kUpdateFiles.size()>& probes, bool linked);

}  // namespace pw
