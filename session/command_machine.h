#pragma once
// The update command's phases, and every event that reaches it decided in one
// table (command_machine.cpp): for each phase and event the next phase and the
// actions to take. The host only turns messages, posted reports and the user's
// actions into events, and carries out the actions; the work an action does
// (update_command.h) reports its outcome as one more event. A pair the table
// has no row for is ignored. Pure.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pw {

enum class Phase : std::uint8_t {
  idle,            // no command runs: Update starts one
  reading_folder,  // the update folder is read; nothing has been written yet
  identifying,     // the identification byte goes out and the reply is awaited
  between_files,   // the next file is chosen (and a box may say why the command ends)
  opening,         // a worker opens the out pipe for the file
  loading,         // a worker loads the file and compares it with the folder's reading
  sending,         // a worker sends the file
  final_box,       // a box after which the process ends is open
  ending,          // the process ends as soon as no worker runs
};
inline constexpr std::size_t kPhaseCount = 9;

enum class Event : std::uint8_t {
  // The user or a script asks for an update.
  update_asked,
  // Presence: a probe went out, found the device, found none, has not answered for long.
  probe_started,
  linked,
  unlinked,
  probe_stuck,
  // Reports of the work an action did.
  folder_wanted,     // the command's checks passed: the folder is to be read
  command_refused,   // the command ends; a box (or a line) has said why
  driver_held,       // the command ends: a call into the driver never returned, Update stays off
  folder_read,       // the folder's reading has arrived
  folder_accepted,   // the folder as read may be used
  identified,        // the device is the right model
  wrong_device,      // it is not: the process ends
  worker_started,    // a worker took the next file
  files_done,        // every file has been handed over: the final box, then the end
  database_missing,  // the last file is missing or needs the lost link: its box, then the end
  file_sent,         // the file under way went out whole
  file_stopped,      // a stop came before its first byte: nothing of it went out
  // The worker's posted reports.
  worker_loading,
  worker_sending,
  worker_progress,
  worker_ended,
  open_not_returning,  // the worker's pipe open has not returned in time
  // Boxes of the workflow's own, and the lost-device question's answer.
  box_opened,
  box_closed,
  lost_device_end,
  // Ends asked from outside: Cancel, the close box, Alt+F4 and WM_CLOSE to
  // either program's window; a log-off or shutdown asked and carried out; the
  // console's close, log-off or shutdown event, which cannot be refused; a WM_QUIT.
  close_asked,
  session_end_asked,
  session_ending,
  console_closing,
  quit_posted,
  // A handler ran out of memory.
  out_of_memory,
};
inline constexpr std::size_t kEventCount = 31;

// What the host carries out for one event (command_runner.cpp keeps one order for them).
enum class Action : std::uint32_t {
  none = 0,
  say_driver_stuck = 1u << 0,   // box: the driver is not answering ([message] 2017); nothing starts
  say_driver_held = 1u << 1,    // box: the driver does not answer, start again ([message] 2018)
  start_command = 1u << 2,      // the command's checks: folder_wanted or command_refused follows
  read_folder = 1u << 3,        // the folder read on a thread of the host's: folder_read follows
  stop_folder_read = 1u << 4,   // the reading is no longer waited for
  say_not_linked = 1u << 5,     // box: the device is not connected ([message] 1021)
  take_folder = 1u << 6,        // the folder judged: folder_accepted or command_refused follows
  identify = 1u << 7,           // identified, wrong_device, command_refused or driver_held follows
  next_file = 1u << 8,          // worker_started (never while files are held: file_stopped then), files_done,
                                // database_missing or command_refused follows
  finish_file = 1u << 9,        // the worker's end read: file_sent, file_stopped or command_refused follows
  stop_worker = 1u << 10,       // the worker is told to stop, also in the middle of a file
  give_up_worker = 1u << 11,    // the worker is left inside the driver: driver_held follows
  show_progress = 1u << 12,     // the bar and the taskbar move
  show_ending_box = 1u << 13,   // the final box, or the missing database's: box_closed follows
  end_command = 1u << 14,       // the front end hears that the command ended and why
  end_process = 1u << 15,       // the worker, if any, stopped and waited for (bounded); then the end
  refuse_close = 1u << 16,      // the window stays: a box (the console: a line) says why
  close_program = 1u << 17,     // the window closes as asked (the console program leaves)
  say_out_of_memory = 1u << 18, // the allocation-failure box, no command running
  stop_unsent_file = 1u << 19,  // a worker that has not sent its first byte stops and sends nothing
  refuse_session_end = 1u << 20,  // a log-off or shutdown waits (the answer to WM_QUERYENDSESSION)
  abandon_worker = 1u << 21,  // the worker is left inside the driver without a word: the program ends as asked
  show_sending = 1u << 22,    // the file's size and hash recorded, its transfer shown as begun
  say_why = 1u << 23,         // box: why the command ends, as its work found (none when it found nothing to say)
};
constexpr Action operator|(Action a, Action b) noexcept {
  return static_cast<Action>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr bool has(Action set, Action a) noexcept {
  return (static_cast<std::uint32_t>(set) & static_cast<std::uint32_t>(a)) != 0;
}

// Why the command ended, as the machine knows it (the work keeps the detail).
enum class EndReason : std::uint8_t { none, as_reported, stopped, out_of_memory, not_linked, driver_stuck };

struct Decision {
  Phase next = Phase::idle;
  Action actions = Action::none;
  EndReason reason = EndReason::none;  // with end_command
  bool deferred = false;  // kept, to be decided again once what it waits for has come (take_deferred)
};

class CommandMachine {
 public:
  // Decides `event`, updates the phase and the facts it keeps, and returns what to do.
  Decision handle(Event event) noexcept;

  Phase phase() const noexcept { return phase_; }
  // The device may be receiving bytes: closing and the session's end are refused.
  bool protects_device() const noexcept;
  // A worker may be running (from worker_started until its end was read, or a
  // stop's end process has waited for it).
  bool worker_running() const noexcept { return worker_; }
  // No further file may start (a console closing, a log-off, a WM_QUIT): next_file says file_stopped instead.
  bool files_held() const noexcept { return hold_; }
  int boxes_open() const noexcept { return boxes_; }
  // A thread was left inside the driver (a call that never returned): nothing more
  // is asked of it in this run.
  bool driver_held() const noexcept { return driver_held_; }
  // An event that waited behind a box of the workflow's own, or for a probe's
  // answer, once nothing holds it any more: the host feeds it again. Empty otherwise.
  bool take_deferred(Event& event) noexcept;

  // The table, for the tests and a reader.
  struct Row;
  static const Row* rows(std::size_t& count) noexcept;

 private:
  bool guard_holds(std::uint8_t guard) const noexcept;
  void note(Event event) noexcept;

  Phase phase_ = Phase::idle;
  int boxes_ = 0;
  bool deferred_ = false;        // deferred_event_ waits
  Event deferred_event_ = Event::update_asked;
  bool probe_outstanding_ = false;
  bool probe_stuck_ = false;
  bool linked_ = false;
  bool hold_ = false;            // no further file: the command ends after the one under way
  bool quit_after_ = false;      // and then the program, as a WM_QUIT asked
  bool out_of_memory_ = false;   // the command ends after the file under way, and says why
  bool driver_held_ = false;
  bool worker_ = false;
};

const char* phase_name(Phase phase) noexcept;
const char* event_name(Event event) noexcept;

}  // namespace pw
