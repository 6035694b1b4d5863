#pragma once
// The console program's own rules: its arguments, its exit statuses, the lines
// it prints (plain or JSON) and what a console control event may do. Pure.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session/command_machine.h"
#include "session/frontend.h"

namespace pw::cli {

enum class Command { update, status, keys };

struct Arguments {
  Command command = Command::update;
  std::string folder;  // as given; empty: the current directory
  bool json = false;
  bool report = false;  // update: the run's details printed after everything else
  bool allow_battery = false;  // update: start also on battery with a low charge
};

// Exit statuses, as `--help` lists them.
enum ExitStatus : int {
  kExitCompleted = 0,       // the update completed (status: linked)
  kExitBadArguments = 1,    // bad arguments, or FOLDER missing
  kExitNotLinked = 2,       // the device is not linked
  kExitWrongDevice = 3,     // the device did not identify as the right model
  kExitFileRefused = 4,     // an update file was refused before anything of it was sent
  kExitTransferFailed = 5,  // a transfer failed, or started and the device was lost
  kExitAnotherUpdater = 6,  // another updater holds the device
  kExitNoLibrary = 7,       // the pipe library cannot be loaded
  kExitOnBattery = 8,       // the computer runs on battery with a low charge
  kExitFolderRefused = 9,   // the update folder is not signed by a trusted key or does not match its list
  kExitDriverNotAnswering = 10,  // the driver did not answer: nothing of the file under way was sent
  kExitStopped = 11,        // stopped as asked before the update completed; no file was cut
};
// Ctrl+C or Ctrl+Break before the device's first byte: STATUS_CONTROL_C_EXIT, as Windows ends such a program.
inline constexpr unsigned kExitInterrupted = 0xC000013Au;

// Either arguments to run, or what to print and the status to end with (the
// help, 0; an error, 1).
struct Parsed {
  std::optional<Arguments> arguments;
  int exit_status = kExitCompleted;
  std::string output;
};
// `args` without the program's name.
Parsed parse_arguments(const std::vector<std::string>& args);

int exit_status_of(CommandResult result);

// One JSON object per event, without the line's end. Texts are UTF-8.
std::string json_string(const std::string& utf8);
std::string json_linked(bool linked);
std::string json_step(const std::string& file);
// The update folder is being checked against its signed list: {"event":"folder","text":...}.
std::string json_folder_check(const std::string& text);
std::string json_progress(const std::string& file, int percent);
std::string json_message(const std::string& text, MessageStyle style);
std::string json_result(const std::string& file, FileOutcome outcome);
std::string json_end(int exit_status);
// An argument error, or memory that ran out: {"event":"error","text":...}.
std::string json_error(const std::string& text);
// `keys`: one built-in trusted key.
std::string json_key(const std::string& fingerprint);
// The run's details: {"event":"details","lines":[...]}.
std::string json_details(const std::vector<std::string>& lines);

// Plain lines.
std::string plain_message(const std::string& text, MessageStyle style);
std::string plain_result(const std::string& file, FileOutcome outcome);

// The progress of one file: on a console one line rewritten in place, else a
// line per whole percent at most. Returns what to write, empty for nothing.
class ProgressLine {
 public:
  explicit ProgressLine(bool console) noexcept : console_(console) {}
  std::string update(const std::string& file, int percent);
  // What ends a rewritten line before other output follows it.
  std::string finish();

 private:
  bool console_;
  bool open_ = false;
  std::string file_;
  int shown_ = -1;
};

// A console control event: Ctrl+C and Ctrl+Break can be refused while a
// transfer runs; a closing console, a log-off or a shutdown cannot.
enum class ControlEvent { ctrl_c, ctrl_break, close, logoff, shutdown };
// Once the program's exit status is known (`status_known`), it stands; before the
// command, and while it reads the folder before the device's first byte (the
// table's `phase`), the system's own end (status 0xC000013A); from that byte on,
// Ctrl+C and Ctrl+Break are refused.
enum class ControlAnswer { end_now, refused, cannot_refuse, status_stands };
ControlAnswer answer_control(ControlEvent event, Phase phase, bool status_known);

}  // namespace pw::cli
