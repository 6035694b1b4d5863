#include "host/workflow_host.h"

#include <commctrl.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>

#include "device/presence_monitor.h"
#include "device/presence_rule.h"
#include "host/run_start.h"
#include "lang/lang_text.h"
#include "update/folder_check.h"
#include "update/folder_verdict.h"
#include "win/wide_text.h"

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
constexpr UINT kProbeAnsweredMessage = WM_APP + 0x43;
// From the folder's reading: hashing begins (the signer known), the folder as read;
// then whether a file absent from it has appeared, and the installer's check.
constexpr UINT kFolderHashingMessage = WM_APP + 0x44;
constexpr UINT kFolderReadMessage = WM_APP + 0x45;
constexpr UINT kLateFileMessage = WM_APP + 0x46;
constexpr UINT kInstallerCheckedMessage = WM_APP + 0x47;
// From the transfer worker: sending begins, the bar's new position, the end.
constexpr UINT kSendingMessage = WM_APP + 0x40;
constexpr UINT kProgressMessage = WM_APP + 0x41;
constexpr UINT kTransferEndedMessage = WM_APP + 0x42;
constexpr UINT_PTR kSubclassId = 0x5057;

}  // namespace

// Shared by the host and one reading of the folder, whose thread ends on its own.
struct FolderReadNote {
  std::uint32_t id = 0;
  std::mutex lock;  // guards signer
  std::string signer;
};

class WindowPoster final : public TransferHost {
 public:
  void aim(HWND window) noexcept { window_.store(window, std::memory_order_release); }
  void sending() noexcept override { post(kSendingMessage, 0); }
  void progressed(int position) noexcept override { post(kProgressMessage, static_cast<WPARAM>(position)); }
  void ended() noexcept override { post(kTransferEndedMessage, 0); }

 private:
  void post(UINT msg, WPARAM wp) noexcept {
    if (HWND window = window_.load(std::memory_order_acquire)) ::PostMessageW(window, msg, wp, 0);
  }
  std::atomic<HWND> window_{nullptr};
};

WorkflowHost::WorkflowHost(const char* program, ProcessEnd process_end)
    : process_end_(process_end),
      transfer_idle_(::CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      poster_(new WindowPoster),
      command_(session_, recorder_, *this, *poster_, *this) {
  try {
    record_run_start(details_, program);
  } catch (const std::bad_alloc&) {
  }
}

WorkflowHost::~WorkflowHost() {
  if (window_) {
    ::RemoveWindowSubclass(window_, &WorkflowHost::window_proc, kSubclassId);
    system_.detach();
  }
  // The worker is stopped and waited for before anything it uses goes; its last
  // report still reaches the window, which no longer hands it to the host.
  const bool stopped = command_.stop_transfer(UpdateCommand::kWorkerStopWaitMs);
  poster_->aim(nullptr);
  // A worker that did not stop in time may still report: what it reports to stays.
  if (!stopped || command_.driver_held()) static_cast<void>(poster_.release());
}

InstanceVerdict WorkflowHost::take_lock() noexcept {
  if (!lock_) lock_.emplace(InstanceLock::acquire());
  return lock_->verdict();
}

bool WorkflowHost::attach(HWND window, const std::string& folder) noexcept {
  try {
    folder_ = folder;
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!::SetWindowSubclass(window, &WorkflowHost::window_proc, kSubclassId, reinterpret_cast<DWORD_PTR>(this)))
    return false;
  window_ = window;
  poster_->aim(window);
  system_.attach(window);
  return true;
}

void WorkflowHost::check_presence_soon() noexcept { set_poll_period(kFirstPollMs); }

void WorkflowHost::check_presence_now() noexcept {
  try {
    poll(PresenceCheck::periodic);
    if (!probe_) return;
    // The answer's posted message is then ignored: its serial is no longer the probe's.
    if (probe_->wait(kFirstProbeWaitMs) == DriverCallResult::timed_out) {
      probe_.reset();
      ::KillTimer(window_, kProbeWatchTimer);
      probe_stuck_ = true;
      recorder_.driver_not_answering();
      return;
    }
    probe_answered();
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
}

void WorkflowHost::start_update(bool allow_battery) noexcept {
  if (session_.command_running) return;
  // A probe under way is let finish first (a driver answers one in far less),
  // so two calls never meet inside the driver.
  if (probe_ && probe_->result() == DriverCallResult::running && !probe_stuck_) {
    if (probe_->returned_within(kProbeGraceMs)) {
      try {
        probe_answered();
      } catch (const std::bad_alloc&) {
        out_of_memory();
        return;
      }
    } else {
      probe_stuck_ = true;
      recorder_.driver_not_answering();
    }
  }
  if (probe_stuck_ || abandoned_driver_call_running() || command_.driver_held()) {
    // A thread is still inside the driver: nothing else is asked of it.
    try {
      recorder_.message(LangText(probe_stuck_ ? text::kDriverNotAnswering : text::kDriverDoesNotAnswer),
                        MessageStyle::warning);
    } catch (const std::bad_alloc&) {
      out_of_memory();
    }
    return;
  }
  act_on(command_.start(folder_, !allow_battery && platform_.battery_too_low()));
  transfer_state_changed();
}

void WorkflowHost::serve_until_idle() noexcept {
  MSG msg;
  while (session_.command_running && !process_end_wanted_ && ::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

void WorkflowHost::out_of_memory() noexcept {
  if (session_.command_running) {
    command_.note_out_of_memory();  // the command ends once its transfer has ended
    return;
  }
  recorder_.memory_ran_out();
}

bool WorkflowHost::finish_transfer_under_way(DWORD timeout_ms) noexcept {
  command_.hold_next_file();
  return ::WaitForSingleObject(transfer_idle_.get(), timeout_ms) == WAIT_OBJECT_0;
}

void WorkflowHost::transfer_state_changed() noexcept {
  if (command_.transferring()) {
    ::ResetEvent(transfer_idle_.get());
    if (command_.opening_pipe() && window_) ::SetTimer(window_, kPipeOpenWatchTimer, kPipeOpenMs, nullptr);
  } else {
    ::SetEvent(transfer_idle_.get());
    if (window_) ::KillTimer(window_, kPipeOpenWatchTimer);
  }
}

void WorkflowHost::poll(PresenceCheck check) {
  if (probe_ && probe_->result() == DriverCallResult::running) {
    // No second probe while one is outstanding; a recheck waits for its answer.
    if (check == PresenceCheck::recheck) recheck_waiting_ = true;
    return;
  }
  if (!presence_probe_wanted(session_, check)) return;
  probe_check_ = check;
  probe_.emplace(DriverCall::probe(window_, kProbeAnsweredMessage));
  if (probe_->result() == DriverCallResult::running && window_)
    ::SetTimer(window_, kProbeWatchTimer, kProbeAnswerMs, nullptr);
  else
    probe_answered();  // it could not even start
}

void WorkflowHost::probe_answered() {
  if (!probe_) return;
  if (window_) ::KillTimer(window_, kProbeWatchTimer);
  const DriverCallResult result = probe_->result();
  ProbeAnswer answer;
  answer.library_loaded = result == DriverCallResult::found || result == DriverCallResult::not_found;
  answer.found = result == DriverCallResult::found;
  answer.binding = probe_->binding();
  probe_.reset();
  if (result == DriverCallResult::out_of_memory) throw std::bad_alloc();
  if (probe_stuck_) {
    probe_stuck_ = false;
    session_.link_reported = false;  // the status said the driver did not answer: it says the link again
  }
  PresenceContext context;
  context.check = probe_check_;
  context.transfer_running = command_.transferring();
  context.folder = &folder_;
  act_on(act_on_presence(session_, recorder_, *this, context, answer));
  if (recheck_waiting_) {
    recheck_waiting_ = false;
    poll(PresenceCheck::recheck);
  }
}

void WorkflowHost::read_folder(const std::string& folder) noexcept {
  folder_read_.stop();
  std::shared_ptr<FolderReadNote> note;
  PostedCall<UpdateFolder>::Work work;
  try {
    note = std::make_shared<FolderReadNote>();
    note->id = next_posted_call_serial();
    const HWND window = window_;
    work = [folder, note, window](const std::atomic<bool>& stop) {
      const std::function<void(const std::string&)> hashing_begins = [&](const std::string& signer) {
        {
          std::lock_guard<std::mutex> lock(note->lock);
          note->signer = signer;
        }
        ::PostMessageW(window, kFolderHashingMessage, note->id, 0);
      };
      return read_update_folder(folder, built_in_trusted_keys(), stop, hashing_begins);
    };
  } catch (const std::bad_alloc&) {
    act_on(command_.on_folder_read(nullptr));
    return;
  }
  folder_note_ = std::move(note);
  folder_read_ = PostedCall<UpdateFolder>::start(window_, kFolderReadMessage, std::move(work));
  if (!folder_read_.started()) act_on(command_.on_folder_read(nullptr));
}

void WorkflowHost::folder_hashing_begins(WPARAM id) {
  if (!folder_read_.started() || !folder_note_ || folder_note_->id != static_cast<std::uint32_t>(id)) return;
  std::string signer;
  {
    std::lock_guard<std::mutex> lock(folder_note_->lock);
    signer = folder_note_->signer;
  }
  recorder_.folder_being_checked(
      folder_step_text(LangText(text::kFolderChecking), LangText(text::kFolderCheckingSignedBy), signer));
}

void WorkflowHost::folder_read(WPARAM serial) {
  if (!folder_read_.is(serial)) return;
  std::optional<UpdateFolder> read = folder_read_.take();
  folder_read_.stop();
  folder_note_.reset();
  std::unique_ptr<UpdateFolder> folder;
  if (read) folder.reset(new UpdateFolder(std::move(*read)));
  act_on(command_.on_folder_read(std::move(folder)));
}

void WorkflowHost::look_for_late_file(std::size_t file, const std::string& path) noexcept {
  if (file >= late_files_.size()) return;
  try {
    late_files_[file] = PostedCall<bool>::start(window_, kLateFileMessage, [path](const std::atomic<bool>&) {
      const DWORD attributes = ::GetFileAttributesW(widen(path).c_str());
      return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    });
  } catch (const std::bad_alloc&) {
    // Only the record misses it.
  }
}

void WorkflowHost::late_file_looked_for(WPARAM serial) {
  for (std::size_t file = 0; file < late_files_.size(); ++file) {
    if (!late_files_[file].is(serial)) continue;
    const std::optional<bool> appeared = late_files_[file].take();
    late_files_[file].stop();
    if (appeared && *appeared) recorder_.file_appeared(file);
  }
}

void WorkflowHost::installer_wanted(const std::string& path) noexcept {
  if (path.empty()) return ForwardingFrontend::installer_wanted(path);
  try {
    installer_path_ = path;
    const std::string folder = folder_;
    installer_check_ = PostedCall<CheckedInstaller>::start(
        window_, kInstallerCheckedMessage,
        [folder](const std::atomic<bool>& stop) { return check_installer(folder, built_in_trusted_keys(), stop); });
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
}

void WorkflowHost::installer_checked(WPARAM serial) {
  if (!installer_check_.is(serial)) return;
  const std::optional<CheckedInstaller> checked = installer_check_.take();
  installer_check_.stop();
  if (!checked) throw std::bad_alloc();
  details_.add(std::string("driver installer ") + installer_path_ + ": " + installer_verdict_name(checked->verdict));
  switch (checked->verdict) {
    case InstallerVerdict::start:
      // Held unchanged, denied to writers, until it has been started.
      ForwardingFrontend::installer_wanted(installer_path_);
      break;
    case InstallerVerdict::absent: break;
    default: ForwardingFrontend::installer_not_started(LangText(text::kInstallerNotStarted)); break;
  }
}

void WorkflowHost::watch_probe() {
  ::KillTimer(window_, kProbeWatchTimer);
  if (!probe_ || probe_->result() != DriverCallResult::running || probe_stuck_) return;
  probe_stuck_ = true;
  recorder_.driver_not_answering();
}

void WorkflowHost::watch_pipe_open() {
  ::KillTimer(window_, kPipeOpenWatchTimer);
  if (!command_.opening_pipe()) return;  // the open returned: the load and the send have bounds of their own
  act_on(command_.give_up_pipe_open());
  transfer_state_changed();
}

void WorkflowHost::act_on(Outcome outcome) noexcept {
  if (outcome != Outcome::end_process) return;
  // A running transfer is stopped and waited for before anything it uses goes.
  if (!command_.stop_transfer(UpdateCommand::kWorkerStopWaitMs)) static_cast<void>(poster_.release());
  process_end_wanted_ = true;
  transfer_state_changed();
  if (process_end_ == ProcessEnd::leave_loop) {
    if (window_) ::PostMessageW(window_, WM_NULL, 0, 0);  // wakes serve_until_idle
    return;
  }
  try {
    details_.add("the program ends, exit status 0");
  } catch (const std::bad_alloc&) {
  }
  std::exit(0);
}

LRESULT CALLBACK WorkflowHost::window_proc(HWND window, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                           DWORD_PTR self) noexcept {
  auto& host = *reinterpret_cast<WorkflowHost*>(self);
  LRESULT result = 0;
  try {
    if (host.handle(msg, wp, result)) return result;
  } catch (const std::bad_alloc&) {
    host.out_of_memory();
    return 0;
  }
  if (msg == WM_NCDESTROY) {
    ::RemoveWindowSubclass(window, &WorkflowHost::window_proc, kSubclassId);
    host.poster_->aim(nullptr);
    host.system_.detach();
    host.window_ = nullptr;
  }
  return ::DefSubclassProc(window, msg, wp, lp);
}

bool WorkflowHost::handle(UINT msg, WPARAM wp, LRESULT& result) {
  switch (msg) {
    case WM_TIMER:
      if (wp == kProbeWatchTimer) {
        watch_probe();
        return true;
      }
      if (wp == kPipeOpenWatchTimer) {
        watch_pipe_open();
        return true;
      }
      if (wp == kPresenceRecheckTimer) {
        ::KillTimer(window_, kPresenceRecheckTimer);
        poll(PresenceCheck::recheck);
        return true;
      }
      if (wp != kPresenceTimer) return false;
      poll(PresenceCheck::periodic);
      return true;
    case kProbeAnsweredMessage:
      if (probe_ && static_cast<std::uint32_t>(wp) == probe_->serial()) probe_answered();
      return true;
    case kFolderHashingMessage: folder_hashing_begins(wp); return true;
    case kFolderReadMessage:
      folder_read(wp);
      transfer_state_changed();
      return true;
    case kLateFileMessage: late_file_looked_for(wp); return true;
    case kInstallerCheckedMessage: installer_checked(wp); return true;
    case kSendingMessage: command_.on_sending(); return true;
    case kProgressMessage: command_.on_progress(static_cast<int>(wp)); return true;
    case kTransferEndedMessage:
      act_on(command_.on_transfer_ended());
      transfer_state_changed();
      return true;
    // A log-off, restart or shutdown in the middle of a flash would leave the
    // device half written: it waits while a command runs.
    case WM_QUERYENDSESSION: result = platform_.session_may_end() ? TRUE : FALSE; return true;
    default: return false;
  }
}

void WorkflowHost::set_poll_period(unsigned period_ms) noexcept {
  if (window_) ::SetTimer(window_, kPresenceTimer, period_ms, nullptr);
}

void WorkflowHost::schedule_presence_recheck(unsigned delay_ms) noexcept {
  if (window_) ::SetTimer(window_, kPresenceRecheckTimer, delay_ms, nullptr);
}

// What the front end hears, after the platform calls that follow each event.

void WorkflowHost::command_begins() noexcept {
  try {
    platform_.command_started(LangText(text::kShutdownReason));
  } catch (const std::bad_alloc&) {
    command_.note_out_of_memory();  // the command ends before it starts
  }
  ForwardingFrontend::command_begins();
}

void WorkflowHost::file_progress(std::size_t file, int percent) noexcept {
  platform_.progress(percent);
  ForwardingFrontend::file_progress(file, percent);
}

void WorkflowHost::file_result(std::size_t file, FileOutcome outcome, std::uint32_t bytes_sent) noexcept {
  if (outcome == FileOutcome::failed) platform_.transfer_failed();
  ForwardingFrontend::file_result(file, outcome, bytes_sent);
}

bool WorkflowHost::message(const std::string& text, MessageStyle style) noexcept {
  platform_.box_opening();
  return ForwardingFrontend::message(text, style);
}

bool WorkflowHost::device_lost(const std::string& question) noexcept {
  platform_.box_opening();
  return ForwardingFrontend::device_lost(question);
}

void WorkflowHost::files_handed_over() noexcept {
  platform_.files_handed_over();
  ForwardingFrontend::files_handed_over();
}

void WorkflowHost::command_ended(CommandEnd end, CommandResult result) noexcept {
  platform_.command_ended();
  ForwardingFrontend::command_ended(end, result);
}

}  // namespace pw
