#include "host/workflow_host.h"

#include <commctrl.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "device/pipe_library.h"
#include "device/presence_rule.h"
#include "host/run_start.h"
#include "lang/lang_text.h"
#include "update/folder_verdict.h"
#include "win/guard.h"

namespace pw {

namespace {

constexpr UINT_PTR kPresenceTimer = 1;
constexpr UINT_PTR kPresenceRecheckTimer = 2;  // one-shot
constexpr UINT_PTR kProbeWatchTimer = 3;       // one-shot
constexpr UINT_PTR kPipeOpenWatchTimer = 4;    // one-shot
// A presence probe this long without an answer is said to be stuck; a pipe open
// this long ends the command.
constexpr UINT kProbeAnswerMs = 5000;
constexpr UINT kPipeOpenMs = 15000;
// How long a click waits for a presence probe under way before it says the driver is not answering.
constexpr unsigned kProbeGraceMs = 500;
// The first check of the console program waits this long for its answer.
constexpr unsigned kFirstProbeWaitMs = 15000;
// And this long for the driver installer's check a missing device starts (a file read has this bound).
constexpr unsigned kInstallerCheckWaitMs = 15000;

// The host window's own messages: from the worker, the presence probe, the
// folder's reading, the quit hook and a closing console.
constexpr UINT kSendingMessage = WM_APP + 0x40;
constexpr UINT kProgressMessage = WM_APP + 0x41;
constexpr UINT kTransferEndedMessage = WM_APP + 0x42;
constexpr UINT kProbeAnsweredMessage = WM_APP + 0x43;
constexpr UINT kFolderHashingMessage = WM_APP + 0x44;
constexpr UINT kFolderReadMessage = WM_APP + 0x45;
constexpr UINT kLateFileMessage = WM_APP + 0x46;
constexpr UINT kInstallerCheckedMessage = WM_APP + 0x47;
constexpr UINT kLoadingMessage = WM_APP + 0x48;
constexpr UINT kQuitMessage = WM_APP + 0x49;
constexpr UINT kConsoleClosingMessage = WM_APP + 0x4A;

// What a console's control handler, on a thread of its own, reaches: never
// destroyed, so a handler that runs while the host goes finds it still there.
struct ConsoleLink {
  std::atomic<HWND> window{nullptr};
  HANDLE transfer_idle = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);  // set while no transfer runs
  std::atomic<Phase> phase{Phase::idle};  // published by the table's runner, read by the control handler
};
ConsoleLink& console_link() noexcept {
  static ConsoleLink* const link = new ConsoleLink();
  return *link;
}

// Posts the worker's events to the host's window; never waits for it.
class WindowPoster final : public TransferHost {
 public:
  void aim(HWND window) noexcept { window_.store(window, std::memory_order_release); }
  void loading() noexcept override { post(kLoadingMessage, 0); }
  void sending() noexcept override { post(kSendingMessage, 0); }
  void progressed(int position) noexcept override { post(kProgressMessage, static_cast<WPARAM>(position)); }
  void ended() noexcept override { post(kTransferEndedMessage, 0); }

 private:
  void post(UINT msg, WPARAM wp) noexcept {
    if (HWND window = window_.load(std::memory_order_acquire)) ::PostMessageW(window, msg, wp, 0);
  }
  std::atomic<HWND> window_{nullptr};
};

WindowPoster& poster_of(TransferHost* poster) { return static_cast<WindowPoster&>(*poster); }

}  // namespace

std::string WorkflowHost::shutdown_reason() { return LangText(text::kShutdownReason); }

WorkflowHost::WorkflowHost(const char* program, ProcessEnd process_end)
    : process_end_(process_end),
      probe_(kProbeAnsweredMessage),
      folder_reader_({kFolderHashingMessage, kFolderReadMessage, kLateFileMessage, kInstallerCheckedMessage}),
      poster_(new WindowPoster),
      work_(session_, recorder_, window_, *poster_, late_files_) {
  platform_link_.forward_to(&link_);
  static_cast<void>(ran_out_of_memory([&] { record_run_start(details_, program); }));
}

WorkflowHost::~WorkflowHost() {
  console_link().window.store(nullptr);
  quit_hook_.remove();
  window_.detach();
  system_.detach();
  folder_reader_.stop_reading();
  // The worker is stopped and waited for before anything it uses goes; its last
  // report still reaches the window, which no longer hands it to the host.
  const bool stopped = work_.end_worker(UpdateCommand::kWorkerStopWaitMs);
  poster_of(poster_view_).aim(nullptr);
  // A worker that did not stop in time may still report: what it reports to stays.
  if (!stopped || runner_.machine().driver_held()) static_cast<void>(poster_.release());
  ::SetEvent(console_link().transfer_idle);
}

RunEnd WorkflowHost::run(const RunOptions& options, ProgramFace& face) noexcept {
  if (ran_out_of_memory([&] { options_ = options; })) return RunEnd::no_window;
  listen(face);
  // A second updater must not write a byte to a device the first one is flashing.
  bool another_runs = false;
  if (options_.lock_only_looked_at) {
    another_runs = InstanceLock::held_elsewhere();
  } else {
    lock_.emplace(InstanceLock::acquire());
    another_runs = lock_->verdict() == InstanceVerdict::another_runs;
  }
  if (another_runs) {
    face.another_updater_runs();
    return RunEnd::another_updater;
  }
  exclude_current_directory_from_library_search();
  if (options_.library_first) {
    // On a thread of its own, bounded, as every call into the library.
    DriverCall look = DriverCall::probe();
    const DriverCallResult result = look.wait(kFirstProbeWaitMs);
    DriverBinding binding;
    static_cast<void>(ran_out_of_memory([&] { binding = look.binding(); }));
    if (result == DriverCallResult::no_library) {
      static_cast<void>(ran_out_of_memory([&] {
        recorder_.message(library_failure_text(LangText(text::kLibraryNotLoaded), binding.foreign),
                          MessageStyle::warning);
      }));
      return RunEnd::no_library;
    }
    if (!binding.path.empty())
      recorder_.library_bound(binding.path, binding.version, binding.open_dev_export, binding.open_file_export);
    // The driver held this first call past its bound: a probe now would only wait behind it.
    if (result == DriverCallResult::timed_out && options_.first_check_waits) {
      recorder_.driver_not_answering();
      return RunEnd::driver_stuck;
    }
  }
  if (!face.open_window(*this)) return RunEnd::no_window;
  if (!options_.first_check_waits) return RunEnd::ended;  // the dialog has run and closed

  // The first check, as the dialog's first tick; it also arms the poll.
  poll(PresenceCheck::periodic);
  if (probe_.outstanding() && !probe_.wait(kFirstProbeWaitMs)) {
    recorder_.driver_not_answering();
    runner_.post(Event::probe_stuck);
    // Said once, as a probe found stuck at the folder's reading says it: not also "not connected".
    return RunEnd::driver_stuck;
  }
  probe_answered();
  if (process_end_wanted_ || !session_.linked) {
    // No message is served after this: the installer's check the missing device
    // started is waited for here, so the console can say where the installer is.
    if (const std::uint32_t serial = folder_reader_.wait_for_installer_check(kInstallerCheckWaitMs))
      installer_checked(serial);
    return RunEnd::not_linked;
  }
  if (!options_.update_at_once) return RunEnd::linked;
  feed_update_asked();
  MSG msg;
  while (!leave_loop_ && !process_end_wanted_ && command_running() && ::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return RunEnd::ended;
}

bool WorkflowHost::attach(HWND window) noexcept {
  if (!window_.attach(window)) return false;
  poster_of(poster_view_).aim(window);
  system_.attach(window);
  quit_hook_.install(window, kQuitMessage);
  console_link().window.store(window);
  // The dialog's first tick comes soon after its window opens; the console waits for its first check itself.
  if (!options_.first_check_waits) window_.set_poll_period(kFirstPollMs);
  return true;
}

Phase WorkflowHost::published_phase() noexcept { return console_link().phase.load(); }

bool WorkflowHost::console_closing(DWORD timeout_ms) noexcept {
  ConsoleLink& link = console_link();
  if (HWND window = link.window.load()) ::PostMessageW(window, kConsoleClosingMessage, 0, 0);
  return ::WaitForSingleObject(link.transfer_idle, timeout_ms) == WAIT_OBJECT_0;
}

// ---- The table's events and actions ----------------------------------------

void WorkflowHost::feed_update_asked() noexcept {
  // A probe under way is let finish first (a driver answers one in far less),
  // so two calls never meet inside the driver.
  if (!command_running() && probe_.outstanding() && !probe_.stuck()) {
    if (probe_.answers_within(kProbeGraceMs))
      probe_answered();
    else
      probe_not_answering();
  }
  runner_.post(Event::update_asked);
}

void WorkflowHost::waits(Event event) noexcept {
  // The presence probe's ticks and the bar's steps say nothing worth a line.
  if (event == Event::probe_started || event == Event::linked || event == Event::unlinked ||
      event == Event::worker_progress)
    return;
  decided(event, Decision{Phase::idle, Action::none, EndReason::none, true});
}

void WorkflowHost::decided(Event event, const Decision& decision) noexcept {
  if (!decision.deferred) return;
  static_cast<void>(ran_out_of_memory([&] {
    details_.add(std::string(event_name(event)) + " waits: a box of the update is open, or a presence probe under way");
  }));
}

// The session's view and the watches follow the phase the table has moved to.
void WorkflowHost::phase_followed(Phase phase) noexcept {
  console_link().phase.store(phase);
  if (phase == Phase::opening && !pipe_watch_armed_) {
#ifndef PUSHWELL_MUTANT_OPEN_BOUND_IGNORED  // a broken build the fault campaign must catch (tests only)
    window_.timer(kPipeOpenWatchTimer, kPipeOpenMs);
#endif
    pipe_watch_armed_ = true;
  } else if (phase != Phase::opening && pipe_watch_armed_) {
    window_.kill_timer(kPipeOpenWatchTimer);
    pipe_watch_armed_ = false;
  }
  if (work_.transferring())
    ::ResetEvent(console_link().transfer_idle);
  else
    ::SetEvent(console_link().transfer_idle);
}

void WorkflowHost::say(Action box) noexcept {
  if (box == Action::say_out_of_memory) return recorder_.memory_ran_out();
  if (box == Action::say_why) {
    if (const std::optional<Saying> said = work_.take_saying()) recorder_.message(said->text, said->style);
    return;
  }
  const TextKey text = box == Action::say_driver_held    ? text::kDriverDoesNotAnswer
                       : box == Action::say_driver_stuck ? text::kDriverNotAnswering
                                                         : text::kDeviceNotLinked;
  if (ran_out_of_memory([&] { recorder_.message(LangText(text), MessageStyle::warning); })) recorder_.memory_ran_out();
}

Event WorkflowHost::start_command() noexcept {
  const bool low_battery = !options_.allow_battery && platform_.battery_too_low();
  return work_.begin(options_.folder, low_battery);
}

bool WorkflowHost::read_folder() noexcept {
  folder_reading_failed_ = !folder_reader_.read(window_.hwnd(), options_.folder);
  return !folder_reading_failed_;
}

void WorkflowHost::stop_folder_read() noexcept { folder_reader_.stop_reading(); }

Event WorkflowHost::take_folder() noexcept {
  bool memory_ran_out = folder_reading_failed_;
  std::unique_ptr<UpdateFolder> folder;
  if (!folder_reading_failed_) folder = folder_reader_.take_folder(memory_ran_out);
  return work_.take_folder(memory_ran_out ? nullptr : std::move(folder));
}

Event WorkflowHost::identify() noexcept { return work_.identify(); }
Event WorkflowHost::next_file(bool held) noexcept {
  transfer_end_reported_ = false;
  return work_.next_file(held);
}
Event WorkflowHost::finish_file() noexcept { return work_.finish_file(); }
void WorkflowHost::show_sending() noexcept { work_.on_sending(); }
// The end of the process stops a sending worker too.
void WorkflowHost::stop_unsent_file() noexcept { work_.stop_unsent(); }
Event WorkflowHost::give_up_worker() noexcept { return work_.give_up_worker(); }
void WorkflowHost::abandon_worker() noexcept { work_.abandon_worker(); }
void WorkflowHost::show_progress() noexcept { work_.on_progress(last_progress_); }

void WorkflowHost::show_ending_box() noexcept {
  recorder_.files_handed_over();
  recorder_.message(work_.ending_text(), work_.ending_style());
}

void WorkflowHost::end_command(EndReason reason, bool process_ends) noexcept { work_.ended(reason, process_ends); }

void WorkflowHost::refuse_close() noexcept {
  static_cast<void>(ran_out_of_memory([&] { details_.add("a close is refused: the update goes on"); }));
  if (face_) face_->close_refused();
}

void WorkflowHost::close_program() noexcept {
  leave_loop_ = true;
  if (face_) face_->close_now();
}

// A running transfer is stopped and waited for (bounded) before anything it uses goes.
void WorkflowHost::end_process() noexcept {
  if (!work_.end_worker(UpdateCommand::kWorkerStopWaitMs)) static_cast<void>(poster_.release());
  process_end_wanted_ = true;
  phase_followed(runner_.machine().phase());
  if (process_end_ == ProcessEnd::leave_loop) {
    if (window_.hwnd()) ::PostMessageW(window_.hwnd(), WM_NULL, 0, 0);  // wakes the loop
    return;
  }
  static_cast<void>(ran_out_of_memory([&] { details_.add("the program ends, exit status 0"); }));
  std::exit(0);
}

// ---- Presence ---------------------------------------------------------------

void WorkflowHost::poll(PresenceCheck check) noexcept {
  if (!presence_probe_wanted(session_, check)) return;
  if (!probe_.start(window_.hwnd(), check)) return;
  runner_.post(Event::probe_started);
  if (probe_.outstanding()) {
    window_.timer(kProbeWatchTimer, kProbeAnswerMs);
  } else {
    probe_answered();  // it could not even start
  }
}

void WorkflowHost::probe_answered() noexcept {
  window_.kill_timer(kProbeWatchTimer);
  const bool was_stuck = probe_.stuck();
  Outcome outcome = Outcome::go_on;
  if (ran_out_of_memory([&] {
        PresenceCheck check = PresenceCheck::periodic;
        const ProbeAnswer answer = probe_.take_answer(check);
        // The status said the driver did not answer: it says the link again.
        if (was_stuck) session_.link_reported = false;
        PresenceContext context;
        context.check = check;
        const Phase phase = runner_.machine().phase();
        context.command_running = phase != Phase::idle;
        // A box after which the process ends: an unplug behind it is no lost update.
        context.ending_box_open = phase == Phase::final_box || phase == Phase::ending;
        context.transfer_running = work_.transferring();
        context.folder = &options_.folder;
        outcome = act_on_presence(session_, recorder_, window_, context, answer);
      })) {
    runner_.post(Event::out_of_memory);
  }
  runner_.post(session_.linked ? Event::linked : Event::unlinked);
  if (outcome == Outcome::end_process) runner_.post(Event::lost_device_end);
  if (probe_.take_waiting_recheck()) poll(PresenceCheck::recheck);
}

void WorkflowHost::probe_not_answering() noexcept {
  window_.kill_timer(kProbeWatchTimer);
  if (!probe_.mark_stuck()) return;
  recorder_.driver_not_answering();
  runner_.post(Event::probe_stuck);
}

void WorkflowHost::installer_checked(WPARAM serial) noexcept {
  bool memory_ran_out = false;
  const std::optional<CheckedInstaller> checked = folder_reader_.installer_checked(serial, memory_ran_out);
  if (memory_ran_out) return runner_.post(Event::out_of_memory);
  if (!checked) return;
  static_cast<void>(ran_out_of_memory([&] {
    details_.add("driver installer " + installer_path_ + ": " + installer_verdict_name(checked->verdict));
  }));
  switch (checked->verdict) {
    case InstallerVerdict::start:
      // Held unchanged, denied to writers, until it has been started.
      link_.ForwardingFrontend::installer_wanted(installer_path_);
      break;
    case InstallerVerdict::absent: break;
    default:
      static_cast<void>(
          ran_out_of_memory([&] { link_.installer_not_started(LangText(text::kInstallerNotStarted)); }));
      break;
  }
}

void WorkflowHost::LateFiles::look_for_late_file(std::size_t file, const std::string& path) noexcept {
  host_.folder_reader_.look_for_late_file(host_.window_.hwnd(), file, path);
}

// ---- The chain's last link --------------------------------------------------

bool WorkflowHost::Link::message(const std::string& text, MessageStyle style) noexcept {
  host_.runner_.box_opens();
  const bool seen = ForwardingFrontend::message(text, style);
  host_.runner_.box_closes();
  return seen;
}

bool WorkflowHost::Link::device_lost(const std::string& question) noexcept {
  host_.runner_.box_opens();
  const bool ends = ForwardingFrontend::device_lost(question);
  // The answer comes first: what waited behind the question must not start before the end.
  host_.runner_.box_closes(ends);
  return ends;
}

void WorkflowHost::Link::installer_wanted(const std::string& path) noexcept {
  // An empty path would not fit: nothing to check or start.
  if (path.empty()) return ForwardingFrontend::installer_wanted(path);
  if (ran_out_of_memory([&] { host_.installer_path_ = path; })) return host_.runner_.post(Event::out_of_memory);
  host_.folder_reader_.check_installer(host_.window_.hwnd(), host_.options_.folder);
}

// ---- The window ---------------------------------------------------------------

const std::array<MessageEntry<WorkflowHost::Window>, 15>& WorkflowHost::Window::message_table() noexcept {
  static const std::array<MessageEntry<Window>, 15> table = {
      pw::on_timer<&Window::on_timer>(),
      pw::on_wparam_message<&Window::on_probe_answered>(kProbeAnsweredMessage),
      pw::on_wparam_message<&Window::on_folder_hashing>(kFolderHashingMessage),
      pw::on_wparam_message<&Window::on_folder_read>(kFolderReadMessage),
      pw::on_wparam_message<&Window::on_late_file>(kLateFileMessage),
      pw::on_wparam_message<&Window::on_installer_checked>(kInstallerCheckedMessage),
      pw::on_message<&Window::on_loading>(kLoadingMessage),
      pw::on_message<&Window::on_sending>(kSendingMessage),
      pw::on_wparam_message<&Window::on_progress>(kProgressMessage),
      pw::on_message<&Window::on_transfer_ended>(kTransferEndedMessage),
      // A log-off, restart or shutdown in the middle of a flash would leave the
      // device half written: the table decides.
      pw::on_message<&Window::on_query_end_session>(WM_QUERYENDSESSION),
      pw::on_wparam_message<&Window::on_end_session>(WM_ENDSESSION),
      // Another program's WM_CLOSE (taskkill without /f) goes to the table as a
      // close; the dialog's Cancel, close box and Alt+F4 come the same way.
      pw::on_message<&Window::on_close>(WM_CLOSE),
      pw::on_wparam_message<&Window::on_quit>(kQuitMessage),
      pw::on_message<&Window::on_console_closing>(kConsoleClosingMessage),
  };
  return table;
}

LRESULT WorkflowHost::Window::handle_message(UINT msg, WPARAM wp, LPARAM lp) noexcept {
  const Reply reply = route_message(*this, msg, wp, lp);
  return reply.handled ? reply.value : default_handling(msg, wp, lp);
}

void WorkflowHost::Window::window_gone() noexcept {
  poster_of(host_.poster_view_).aim(nullptr);
  host_.system_.detach();
  host_.quit_hook_.remove();
  console_link().window.store(nullptr);
}

void WorkflowHost::Window::set_poll_period(unsigned period_ms) noexcept { timer(kPresenceTimer, period_ms); }
void WorkflowHost::Window::schedule_presence_recheck(unsigned delay_ms) noexcept {
  timer(kPresenceRecheckTimer, delay_ms);
}
void WorkflowHost::Window::timer(UINT_PTR id, unsigned period_ms) noexcept {
  if (hwnd()) ::SetTimer(hwnd(), id, period_ms, nullptr);
}
void WorkflowHost::Window::kill_timer(UINT_PTR id) noexcept {
  if (hwnd()) ::KillTimer(hwnd(), id);
}

Reply WorkflowHost::Window::on_timer(UINT_PTR id) noexcept {
  switch (id) {
    case kProbeWatchTimer: host_.probe_not_answering(); break;
    case kPipeOpenWatchTimer:
      kill_timer(kPipeOpenWatchTimer);
      host_.pipe_watch_armed_ = false;
      // Only a worker still opening is given up on: the load and the send have bounds of their own.
      host_.runner_.post(Event::open_not_returning);
      break;
    case kPresenceRecheckTimer:
      kill_timer(kPresenceRecheckTimer);
      host_.poll(PresenceCheck::recheck);
      break;
    case kPresenceTimer: host_.poll(PresenceCheck::periodic); break;
    default: return Reply::unhandled();
  }
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_probe_answered(WPARAM serial) noexcept {
  if (host_.probe_.is_answer(serial)) host_.probe_answered();
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_folder_hashing(WPARAM id) noexcept {
  if (ran_out_of_memory([&] {
        if (const std::optional<std::string> signer = host_.folder_reader_.signer_of(id))
          host_.recorder_.folder_being_checked(
              folder_step_text(LangText(text::kFolderChecking), LangText(text::kFolderCheckingSignedBy), *signer));
      }))
    host_.runner_.post(Event::out_of_memory);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_folder_read(WPARAM serial) noexcept {
  if (host_.folder_reader_.is_reading(serial)) host_.runner_.post(Event::folder_read);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_late_file(WPARAM serial) noexcept {
  if (const std::optional<std::size_t> file = host_.folder_reader_.late_file_found(serial))
    host_.recorder_.file_appeared(*file);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_installer_checked(WPARAM serial) noexcept {
  host_.installer_checked(serial);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_loading() noexcept {
  host_.runner_.post(Event::worker_loading);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_sending() noexcept {
  host_.runner_.post(Event::worker_sending);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_progress(WPARAM percent) noexcept {
  host_.last_progress_ = static_cast<int>(percent);
  host_.runner_.post(Event::worker_progress);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_transfer_ended() noexcept {
  if (!host_.work_.transferring()) return Reply::with(0);  // one given up on
  host_.transfer_end_reported_ = true;
  if (host_.face_) host_.face_->transfer_ended();
  host_.runner_.post(Event::worker_ended);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_query_end_session() noexcept {
  return Reply::with(host_.runner_.session_end_refused() ? FALSE : TRUE);
}

Reply WorkflowHost::Window::on_end_session(WPARAM ending) noexcept {
  if (ending) host_.runner_.post(Event::session_ending);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_close() noexcept {
  host_.runner_.post(Event::close_asked);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_quit(WPARAM) noexcept {
  static_cast<void>(ran_out_of_memory([&] { host_.details_.add("another program asked the program to quit"); }));
  host_.runner_.post(Event::quit_posted);
  return Reply::with(0);
}

Reply WorkflowHost::Window::on_console_closing() noexcept {
  host_.runner_.post(Event::console_closing);
  return Reply::with(0);
}

}  // namespace pw
