#include "session/command_machine.h"

namespace pw {

namespace {

// What a row asks of the facts besides its phase and event; the first row whose
// guard holds decides.
enum Guard : std::uint8_t {
  always,
  box_open,           // a box of the workflow's own is open: nothing starts behind it
  probe_outstanding,  // a presence probe has not answered yet
  probe_is_stuck,     // the last probe has not answered for long
  not_linked,         // the last answer found no device
  driver_unusable,    // a call into the driver never returned: nothing more is asked of it
  quit_asked,         // a WM_QUIT: after the file under way the program ends
  memory_ran_out,
  no_box_open,
  waiting_and_free,   // an event waits and neither a box nor a probe holds it any more
  holding_files,      // no further file: a stop was asked
};

constexpr Phase kStay = static_cast<Phase>(0xFF);

using A = Action;
using E = Event;
using P = Phase;
using R = EndReason;

}  // namespace

struct CommandMachine::Row {
  Phase phase;
  Event event;
  Guard guard;
  Phase next;  // kStay: the phase stays
  Action actions;
  EndReason reason;
  bool defer;
};

namespace {

using Row = CommandMachine::Row;

constexpr Row row(P phase, E event, Guard guard, P next, A actions = A::none, R reason = R::none) {
  return {phase, event, guard, next, actions, reason, false};
}
constexpr Row defer(P phase, E event, Guard guard) { return {phase, event, guard, kStay, A::none, R::none, true}; }

// The phases in which the device may receive bytes: closing and the session's
// end wait, a WM_QUIT or a console's close holds further files.
#if defined(PUSHWELL_MUTANT_CANCEL_MID_FILE)  // broken builds the fault campaign must catch (tests only)
#define CLOSE_IN_PROTECTED_PHASE(p) row(p, E::close_asked, always, P::ending, A::stop_worker | A::end_process)
#else
#define CLOSE_IN_PROTECTED_PHASE(p) row(p, E::close_asked, always, kStay, A::refuse_close)
#endif
#if defined(PUSHWELL_MUTANT_SESSION_END_MID_FILE)
#define SESSION_END_IN_PROTECTED_PHASE(p) row(p, E::session_end_asked, always, kStay)
#else
#define SESSION_END_IN_PROTECTED_PHASE(p) row(p, E::session_end_asked, always, kStay, A::refuse_session_end)
#endif
#define PROTECTED_PHASE_ROWS(p)                                                                 \
  CLOSE_IN_PROTECTED_PHASE(p), SESSION_END_IN_PROTECTED_PHASE(p),                               \
      row(p, E::lost_device_end, always, P::ending, A::stop_worker | A::end_process)

// Every row, by phase. Events with no row in a phase are ignored there; the
// facts (presence, boxes, held files, memory) are kept for every event first,
// and an event kept by a `defer` row goes again once nothing holds it.
constexpr Row kRows[] = {
    // No command.
    row(P::idle, E::update_asked, box_open, kStay),  // a click another program posts behind a box
    row(P::idle, E::update_asked, driver_unusable, kStay, A::say_driver_held),
    row(P::idle, E::update_asked, probe_is_stuck, kStay, A::say_driver_stuck),
    row(P::idle, E::update_asked, always, P::reading_folder, A::start_command),
    row(P::idle, E::close_asked, always, kStay, A::close_program),
    row(P::idle, E::quit_posted, always, kStay, A::close_program),
    row(P::idle, E::console_closing, always, kStay, A::close_program),
    row(P::idle, E::out_of_memory, always, kStay, A::say_out_of_memory),
    row(P::idle, E::lost_device_end, always, P::ending, A::end_process),

    // The folder is read: nothing written yet, so a close ends the command at once.
    row(P::reading_folder, E::folder_wanted, always, kStay, A::read_folder),
    row(P::reading_folder, E::command_refused, always, P::idle, A::say_why | A::end_command, R::as_reported),
    defer(P::reading_folder, E::folder_read, box_open),
    defer(P::reading_folder, E::folder_read, probe_outstanding),
    row(P::reading_folder, E::folder_read, probe_is_stuck, P::idle, A::say_driver_stuck | A::end_command,
        R::driver_stuck),
    row(P::reading_folder, E::folder_read, not_linked, P::idle, A::say_not_linked | A::end_command, R::not_linked),
    row(P::reading_folder, E::folder_read, always, kStay, A::take_folder),
    // The session's end agreed to while the folder was read: nothing starts, for the
    // session may end at any moment from then on.
    row(P::reading_folder, E::folder_accepted, holding_files, P::idle, A::end_command, R::stopped),
    row(P::reading_folder, E::folder_accepted, always, P::identifying, A::identify),
    row(P::reading_folder, E::close_asked, always, P::idle, A::stop_folder_read | A::end_command | A::close_program,
        R::stopped),
    row(P::reading_folder, E::quit_posted, always, P::idle, A::stop_folder_read | A::end_command | A::close_program,
        R::stopped),
    row(P::reading_folder, E::console_closing, always, P::idle,
        A::stop_folder_read | A::end_command | A::close_program, R::stopped),
    row(P::reading_folder, E::session_ending, always, P::idle, A::stop_folder_read | A::end_command, R::stopped),
    row(P::reading_folder, E::out_of_memory, always, P::idle, A::stop_folder_read | A::end_command, R::out_of_memory),
    row(P::reading_folder, E::lost_device_end, always, P::ending, A::stop_folder_read | A::end_process),

    // The identification: the window serves no messages meanwhile. Why a command
    // ends is said in a box, unless the program ends as a WM_QUIT asked.
    row(P::identifying, E::identified, memory_ran_out, P::idle, A::end_command, R::out_of_memory),
    row(P::identifying, E::identified, always, P::between_files, A::next_file),
    row(P::identifying, E::command_refused, quit_asked, P::ending, A::end_command | A::end_process, R::as_reported),
    row(P::identifying, E::command_refused, always, P::idle, A::say_why | A::end_command, R::as_reported),
    row(P::identifying, E::driver_held, quit_asked, P::ending, A::end_command | A::end_process, R::as_reported),
    row(P::identifying, E::driver_held, always, P::idle, A::say_why | A::end_command, R::as_reported),
    row(P::identifying, E::wrong_device, always, P::ending, A::say_why | A::end_command | A::end_process, R::as_reported),
    PROTECTED_PHASE_ROWS(P::identifying),

    // Between two files: the next one is chosen, or the command ends.
    row(P::between_files, E::worker_started, always, P::opening),
    row(P::between_files, E::files_done, always, P::final_box, A::show_ending_box),
    row(P::between_files, E::database_missing, always, P::final_box, A::show_ending_box),
    row(P::between_files, E::command_refused, quit_asked, P::ending, A::end_command | A::end_process, R::as_reported),
    row(P::between_files, E::command_refused, always, P::idle, A::say_why | A::end_command, R::as_reported),
    row(P::between_files, E::driver_held, quit_asked, P::ending, A::end_command | A::end_process, R::as_reported),
    row(P::between_files, E::driver_held, always, P::idle, A::say_why | A::end_command, R::as_reported),
    row(P::between_files, E::file_stopped, quit_asked, P::ending, A::end_command | A::end_process, R::stopped),
    row(P::between_files, E::file_stopped, always, P::idle, A::end_command, R::stopped),
    defer(P::between_files, E::file_sent, box_open),
    row(P::between_files, E::file_sent, memory_ran_out, P::idle, A::end_command, R::out_of_memory),
    // Held files: the rest of the plan is looked at, and file_stopped comes
    // instead of a worker, so an update whose last file went out still completes.
    row(P::between_files, E::file_sent, always, kStay, A::next_file),
    PROTECTED_PHASE_ROWS(P::between_files),

    // A worker opens the pipe: a stop now sends nothing of the file.
    row(P::opening, E::worker_loading, always, P::loading),
    row(P::opening, E::worker_sending, always, P::sending, A::show_sending),
    defer(P::opening, E::worker_ended, box_open),
    row(P::opening, E::worker_ended, always, P::between_files, A::finish_file),
    // Asked to quit meanwhile: the program ends within the open's bound, nothing of the file sent.
    row(P::opening, E::open_not_returning, quit_asked, P::ending, A::abandon_worker | A::end_command | A::end_process,
        R::stopped),
    row(P::opening, E::open_not_returning, always, P::between_files, A::give_up_worker),
    row(P::opening, E::console_closing, always, kStay, A::stop_unsent_file),
    row(P::opening, E::session_ending, always, kStay, A::stop_unsent_file),
    row(P::opening, E::quit_posted, always, kStay, A::stop_unsent_file),
    PROTECTED_PHASE_ROWS(P::opening),

    // It loads the file and compares it: a stop still sends nothing.
    row(P::loading, E::worker_sending, always, P::sending, A::show_sending),
    defer(P::loading, E::worker_ended, box_open),
    row(P::loading, E::worker_ended, always, P::between_files, A::finish_file),
    row(P::loading, E::console_closing, always, kStay, A::stop_unsent_file),
    row(P::loading, E::session_ending, always, kStay, A::stop_unsent_file),
    row(P::loading, E::quit_posted, always, kStay, A::stop_unsent_file),
    PROTECTED_PHASE_ROWS(P::loading),

    // It sends: the file goes out whole; a close or a WM_QUIT waits for its end.
    row(P::sending, E::worker_progress, always, kStay, A::show_progress),
#if defined(PUSHWELL_MUTANT_QUIT_CUTS_FILE)
    row(P::sending, E::quit_posted, always, P::ending, A::stop_worker | A::end_process),
#endif
    defer(P::sending, E::worker_ended, box_open),
    row(P::sending, E::worker_ended, always, P::between_files, A::finish_file),
    PROTECTED_PHASE_ROWS(P::sending),

    // Every file handed over: the box, then the end.
    row(P::final_box, E::box_closed, no_box_open, P::ending, A::end_command | A::end_process, R::as_reported),
    row(P::final_box, E::quit_posted, always, P::ending, A::end_command | A::end_process, R::as_reported),
    row(P::final_box, E::console_closing, always, P::ending, A::end_command | A::end_process, R::as_reported),
    row(P::final_box, E::lost_device_end, always, P::ending, A::end_command | A::end_process, R::as_reported),

    // The end waits only for a worker told to stop.
    row(P::ending, E::worker_ended, always, kStay, A::end_process),
};

#undef PROTECTED_PHASE_ROWS
#undef CLOSE_IN_PROTECTED_PHASE
#undef SESSION_END_IN_PROTECTED_PHASE

}  // namespace

const CommandMachine::Row* CommandMachine::rows(std::size_t& count) noexcept {
  count = sizeof kRows / sizeof kRows[0];
  return kRows;
}

bool CommandMachine::guard_holds(std::uint8_t guard) const noexcept {
  switch (static_cast<Guard>(guard)) {
    case always: return true;
    case box_open: return boxes_ > 0;
    case probe_outstanding: return probe_outstanding_;
    case probe_is_stuck: return probe_stuck_;
    case not_linked: return !linked_;
    case driver_unusable: return driver_held_;
    case quit_asked: return quit_after_;
    case memory_ran_out: return out_of_memory_;
    case no_box_open: return boxes_ == 0;
    case waiting_and_free: return deferred_ && boxes_ == 0 && !probe_outstanding_;
    case holding_files: return hold_;
  }
  return false;
}

bool CommandMachine::protects_device() const noexcept {
  switch (phase_) {
    case Phase::identifying:
    case Phase::between_files:
    case Phase::opening:
    case Phase::loading:
    case Phase::sending: return true;
    default: return false;
  }
}

// The facts every event may change, whatever the phase.
void CommandMachine::note(Event event) noexcept {
  switch (event) {
    case Event::update_asked:
      if (phase_ == Phase::idle) hold_ = quit_after_ = out_of_memory_ = false;
      break;
    case Event::probe_started: probe_outstanding_ = true; break;
    case Event::linked:
    case Event::unlinked:
      probe_outstanding_ = probe_stuck_ = false;
      linked_ = event == Event::linked;
      break;
    case Event::probe_stuck: probe_stuck_ = true; probe_outstanding_ = false; break;
    case Event::driver_held: driver_held_ = true; break;
    case Event::worker_started: worker_ = true; break;
    case Event::worker_ended: worker_ = false; break;
    case Event::box_opened: ++boxes_; break;
    case Event::box_closed:
      if (boxes_ > 0) --boxes_;
      break;
    case Event::quit_posted: quit_after_ = true; hold_ = true; break;
    case Event::console_closing:
    case Event::session_ending: hold_ = true; break;
    // Agreed to (nothing can reach the device while the folder is read), the
    // session may end without a further word: the command starts nothing more.
    case Event::session_end_asked:
      if (phase_ == Phase::reading_folder) hold_ = true;
      break;
    case Event::out_of_memory: out_of_memory_ = phase_ != Phase::idle; break;
    default: break;
  }
}

Decision CommandMachine::handle(Event event) noexcept {
  note(event);
  Decision decision;
  decision.next = phase_;
  for (const Row& r : kRows) {
    if (r.phase != phase_ || r.event != event || !guard_holds(r.guard)) continue;
    if (r.defer) {
      deferred_ = true;
      deferred_event_ = event;
      decision.deferred = true;
      return decision;
    }
    if (r.next != kStay) phase_ = r.next;
    decision.next = phase_;
    decision.actions = r.actions;
    decision.reason = r.reason;
    break;
  }
  // A WM_QUIT asked during the command ends the program with it, whichever way it ends.
  if (quit_after_ && phase_ == Phase::idle && has(decision.actions, Action::end_command) &&
      !has(decision.actions, Action::close_program)) {
    phase_ = decision.next = Phase::ending;
    decision.actions = decision.actions | Action::end_process;
  }
  // A worker stopped with the end of the process is waited for there, not reported.
  if (has(decision.actions, Action::end_process)) deferred_ = false;
  // Left inside the driver, it never writes: no worker runs any more.
  if (has(decision.actions, Action::abandon_worker)) {
    worker_ = false;
    driver_held_ = true;
  }
  if (phase_ == Phase::idle) {
    deferred_ = false;
    worker_ = false;
  }
  return decision;
}

bool CommandMachine::take_deferred(Event& event) noexcept {
  if (!guard_holds(waiting_and_free)) return false;
  deferred_ = false;
  event = deferred_event_;
  return true;
}

const char* phase_name(Phase phase) noexcept {
  static const char* const kNames[kPhaseCount] = {"idle",    "reading_folder", "identifying", "between_files",
                                                  "opening", "loading",        "sending",     "final_box",
                                                  "ending"};
  const auto i = static_cast<std::size_t>(phase);
  return i < kPhaseCount ? kNames[i] : "?";
}

const char* event_name(Event event) noexcept {
  static const char* const kNames[kEventCount] = {
      "update_asked",   "probe_started",     "linked",          "unlinked",       "probe_stuck",
      "folder_wanted",  "command_refused",   "driver_held",     "folder_read",    "folder_accepted",
      "identified",     "wrong_device",      "worker_started",  "files_done",     "database_missing",
      "file_sent",      "file_stopped",      "worker_loading",    "worker_sending",  "worker_progress", "worker_ended",
      "open_not_returning", "box_opened",    "box_closed",      "lost_device_end", "close_asked",
      "session_end_asked", "session_ending", "console_closing", "quit_posted",    "out_of_memory"};
  const auto i = static_cast<std::size_t>(event);
  return i < kEventCount ? kNames[i] : "?";
}

}  // namespace pw
