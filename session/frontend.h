#pragma once
// What the workflow (presence checks, identification, update command) tells the
// program's face, in its own words: the dialog shows it in controls and boxes,
// the console program prints it. Nothing here names a control. Each event
// carries its data, so another listener could hear the same events beside the
// front end. No windows.h here.
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

// What a box (the console: a line) is to say: the work finds it, the host shows it.
struct Saying {
  std::string text;
  MessageStyle style = MessageStyle::warning;
};

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

// Every event the workflow tells the front end that asks no answer, listed once:
// X(name, (parameters), (arguments)). Each is raised on the front end's own
// thread; a front end that shows nothing of one keeps its empty body.
#define PW_FRONTEND_NOTICES(X)                                                                                   \
  /* The update command begins (before its checks); command_ended follows. */                                  \
  X(command_begins, (), ())                                                                                       \
  /* The presence check found the device, or found it gone. */                                                  \
  X(linked, (bool linked), (linked))                                                                              \
  /* The command has passed the identification: earlier progress and results are void. */                      \
  X(files_begin, (), ())                                                                                          \
  /* The update folder's files are being read and checked against their signed list; `text` says so (and     \
     names the signer's key when there is one). */                                                              \
  X(folder_being_checked, (const std::string& text), (text))                                                      \
  /* The device is about to receive its first byte of this command: from now until command_ended, stopping    \
     the program could leave the device unusable. Before, closing and Ctrl+C end the command as usual. */       \
  X(writing_begins, (), ())                                                                                       \
  /* File `file` (an index into kUpdateFiles, named `name`) is handled next; `text` is its step text. */       \
  X(step_begins, (std::size_t file, const char* name, const std::string& text), (file, name, text))               \
  /* Its `bytes` (header block included) start going out. */                                                   \
  X(transfer_begins, (std::size_t file, std::uint32_t bytes), (file, bytes))                                      \
  /* Only when the whole percent changed. */                                                                    \
  X(file_progress, (std::size_t file, int percent), (file, percent))                                              \
  /* `bytes_sent` counts the payload bytes the device took. */                                                  \
  X(file_result, (std::size_t file, FileOutcome outcome, std::uint32_t bytes_sent), (file, outcome, bytes_sent))  \
  /* The driver installer should start, once in the run (`path` may be empty: it would not fit). Where the    \
     update folder's list is in force, only once it has checked the installer against it. */                   \
  X(installer_wanted, (const std::string& path), (path))                                                          \
  /* The installer the folder holds is not the one its maker listed: `text` says it was not started. */        \
  X(installer_not_started, (const std::string& text), (text))                                                     \
  /* Every file the device gets has been handed to it: what follows waits only for the user. */                 \
  X(files_handed_over, (), ())                                                                                    \
  X(command_ended, (CommandEnd end, CommandResult result), (end, result))                                         \
  /* A presence probe has not answered for a while: the driver may be stuck. The next answer is told through  \
     linked() again. */                                                                                          \
  X(driver_not_answering, (), ())                                                                                 \
  /* Memory ran out in a handler while no command ran: say so. */                                               \
  X(memory_ran_out, (), ())                                                                                       \
  /* Facts for the run's details only. The pipe library was bound: its full path, file version and the two    \
     export names found. */                                                                                      \
  X(library_bound, (const std::string& path, const std::string& version, const char* open_dev_export,            \
                    const char* open_file_export),                                                               \
    (path, version, open_dev_export, open_file_export))                                                           \
  /* The command works on the update files of `folder`. */                                                      \
  X(update_folder, (const std::string& folder), (folder))                                                         \
  /* What was decided about file `file`: `size` is -1 when it could not be opened, `send_flag` -1 when its     \
     header was not read far enough. */                                                                          \
  X(file_decided, (std::size_t file, const char* name, long long size, int send_flag, const char* decision),      \
    (file, name, size, send_flag, decision))                                                                      \
  /* What was decided about the update folder, one line each: the verdict, the signing key, each listed       \
     file's hash, each line of the list that was ignored. */                                                    \
  X(folder_checked, (const std::vector<std::string>& lines), (lines))                                             \
  /* Update file `file`, not in the folder when it was read (so never sent in this command), has appeared. */   \
  X(file_appeared, (std::size_t file), (file))                                                                    \
  /* File `file` was loaded whole for sending; `sha256` is of the bytes as loaded. */                           \
  X(file_loaded, (std::size_t file, std::uint32_t bytes, const std::string& sha256), (file, bytes, sha256))       \
  /* The device's reply to the identification byte (`size` 0: none), whether it identified the right model,   \
     and how long the identification took. */                                                                   \
  X(identification_done, (const std::uint8_t* reply, std::size_t size, bool identified, unsigned elapsed_ms),     \
    (reply, size, identified, elapsed_ms))                                                                        \
  /* A transfer ended: payload bytes sent of `total`, how long it took, and the stream offsets where a         \
     timed-out write was cancelled and repeated (`repeats` counts them all; at most `offsets_known` given). */  \
  X(transfer_ended,                                                                                               \
    (std::size_t file, std::uint32_t sent, std::uint32_t total, unsigned elapsed_ms, std::uint32_t repeats,      \
     const std::uint32_t* offsets, std::size_t offsets_known),                                                   \
    (file, sent, total, elapsed_ms, repeats, offsets, offsets_known))

class Frontend {
 public:
#define PW_DECLARE_NOTICE(name, parameters, arguments) virtual void name parameters noexcept;
  PW_FRONTEND_NOTICES(PW_DECLARE_NOTICE)
#undef PW_DECLARE_NOTICE

  // The two events that ask for an answer. A message the user must see returns
  // once it has been seen, true when it was acknowledged.
  virtual bool message(const std::string& text, MessageStyle style) noexcept = 0;
  // The device was lost after an update got under way: true ends the process.
  virtual bool device_lost(const std::string& question) noexcept = 0;

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
