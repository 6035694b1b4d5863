#pragma once
// What the workflow (presence checks, identification, update command) tells the
// program's face, in its own words: the dialog shows it in controls and boxes,
// the console program prints it. Nothing here names a control. Every event is
// raised on the front end's own thread; each carries its data, so another
// listener could hear the same events beside the front end. No windows.h here.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pw {

// The fixed text of memory that ran out: it needs no lookup, which could fail too.
inline constexpr char kOutOfMemoryText[] = "Memory Allocation Fail";

// How a message is shown: an OK box with the exclamation icon, with the
// stop-sign icon, or with the question icon.
enum class MessageStyle { warning, stop, question };

// What became of one update file.
enum class FileOutcome { sent, not_sent, failed };

// How an update command ended: the program goes on, or the process ends.
enum class CommandEnd { ended_early, process_ends };

// Why it ended.
enum class CommandResult {
  completed,        // every file handled, the final message shown
  not_linked,       // no device, or gone before anything of a file was sent
  wrong_device,     // the device did not identify as the right model
  file_refused,     // an update file refused before anything of it was sent
  transfer_failed,  // a transfer failed, or the worker failed around one
  no_library,       // the pipe library could not be loaded
  out_of_memory,    // memory ran out in a handler; the command ended after the transfer under way
  low_battery,      // on battery with too little charge left to start (nothing was written)
  driver_held,      // a call into the pipe library did not return in time and a thread is still inside it:
                    // nothing of the file under way was sent, and the updater must be started again
  driver_stuck,     // the presence probe did not answer: nothing started, Update stays usable
  folder_refused,   // the update folder is not signed by a trusted key or does not match its list
  stopped,          // stopped as asked (a close, a WM_QUIT, a closing console); no file was cut
};

// Their names in the program's output and record: "warning", "stop", "question";
// "sent", "not_sent", "failed".
const char* style_name(MessageStyle style) noexcept;
const char* outcome_name(FileOutcome outcome) noexcept;

class Frontend {
 public:
  // The update command begins (before its checks); command_ended follows.
  virtual void command_begins() noexcept = 0;
  // The presence check found the device, or found it gone.
  virtual void linked(bool linked) noexcept = 0;
  // The command has passed the identification: earlier progress and results are void.
  virtual void files_begin() noexcept = 0;
  // The update folder's files are being read and checked against their signed
  // list; `text` says so (and names the signer's key when there is one).
  virtual void folder_being_checked(const std::string& /*text*/) noexcept {}
  // The device is about to receive its first byte of this command: from now until
  // command_ended, stopping the program could leave the device unusable. Before,
  // closing and Ctrl+C end the command (and the program) as usual.
  virtual void writing_begins() noexcept {}
  // File `file` (an index into kUpdateFiles, named `name`) is handled next;
  // `text` is its step text.
  virtual void step_begins(std::size_t file, const char* name, const std::string& text) noexcept = 0;
  // Its `bytes` (header block included) start going out.
  virtual void transfer_begins(std::size_t file, std::uint32_t bytes) noexcept = 0;
  // Only when the whole percent changed.
  virtual void file_progress(std::size_t file, int percent) noexcept = 0;
  // `bytes_sent` counts the payload bytes the device took.
  virtual void file_result(std::size_t file, FileOutcome outcome, std::uint32_t bytes_sent) noexcept = 0;
  // A message the user must see; returns once it has been seen, true when it was acknowledged.
  virtual bool message(const std::string& text, MessageStyle style) noexcept = 0;
  // The device was lost after an update got under way: true ends the process.
  virtual bool device_lost(const std::string& question) noexcept = 0;
  // The driver installer should start, once in the run (`path` may be empty: it
  // would not fit). Where the update folder's list is in force, only once it has
  // checked the installer against it.
  virtual void installer_wanted(const std::string& path) noexcept = 0;
  // The installer the folder holds is not the one its maker listed: `text` says
  // it was not started.
  virtual void installer_not_started(const std::string& /*text*/) noexcept {}
  // Every file the device gets has been handed to it: what follows (the final
  // message) waits only for the user.
  virtual void files_handed_over() noexcept {}
  virtual void command_ended(CommandEnd end, CommandResult result) noexcept = 0;
  // A presence probe has not answered for a while: the driver may be stuck. The
  // next answer is told through linked() again.
  virtual void driver_not_answering() noexcept {}
  // Memory ran out in a handler while no command ran: say so.
  virtual void memory_ran_out() noexcept {}

  // Facts for the run's details only: a front end that shows nothing of them
  // keeps these empty bodies.
  // The pipe library was bound: its full path, file version and the two export names found.
  virtual void library_bound(const std::string& /*path*/, const std::string& /*version*/,
                             const char* /*open_dev_export*/, const char* /*open_file_export*/) noexcept {}
  // The command works on the update files of `folder`.
  virtual void update_folder(const std::string& /*folder*/) noexcept {}
  // What was decided about file `file`: `size` is -1 when it could not be opened,
  // `send_flag` -1 when its header was not read far enough.
  virtual void file_decided(std::size_t /*file*/, const char* /*name*/, long long /*size*/, int /*send_flag*/,
                            const char* /*decision*/) noexcept {}
  // What was decided about the update folder, one line each: the verdict, the
  // signing key, each listed file's hash, each line of the list that was ignored.
  virtual void folder_checked(const std::vector<std::string>& /*lines*/) noexcept {}
  // Update file `file`, not in the folder when it was read (so never sent in this
  // command), has appeared since.
  virtual void file_appeared(std::size_t /*file*/) noexcept {}
  // File `file` was loaded whole for sending; `sha256` is of the bytes as loaded.
  virtual void file_loaded(std::size_t /*file*/, std::uint32_t /*bytes*/, const std::string& /*sha256*/) noexcept {}
  // The device's reply to the identification byte (`size` 0: none), whether it
  // identified the right model, and how long the identification took.
  virtual void identification_done(const std::uint8_t* /*reply*/, std::size_t /*size*/, bool /*identified*/,
                                   unsigned /*elapsed_ms*/) noexcept {}
  // A transfer ended: payload bytes sent of `total`, how long it took, and the
  // stream offsets where a timed-out write was cancelled and repeated (`repeats`
  // counts them all; at most `offsets_known` offsets are given).
  virtual void transfer_ended(std::size_t /*file*/, std::uint32_t /*sent*/, std::uint32_t /*total*/,
                              unsigned /*elapsed_ms*/, std::uint32_t /*repeats*/, const std::uint32_t* /*offsets*/,
                              std::size_t /*offsets_known*/) noexcept {}

 protected:
  ~Frontend() = default;
};

// The front end's timers, as the presence checks need them.
class PresenceSchedule {
 public:
  virtual void set_poll_period(unsigned period_ms) noexcept = 0;
  // One check `delay_ms` from now, apart from the periodic ones.
  virtual void schedule_presence_recheck(unsigned delay_ms) noexcept = 0;

 protected:
  ~PresenceSchedule() = default;
};

}  // namespace pw
