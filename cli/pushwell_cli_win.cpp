// pushwell-cli: the update command of the dialog's button, and a link check,
// for scripts: the same workflow over a console front end, no window shown.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_rules.h"
#include "device/pipe_library.h"
#include "device/presence_monitor.h"
#include "lang/lang_text.h"
#include "session/frontend.h"
#include "session/platform.h"
#include "session/recording_frontend.h"
#include "session/run_details.h"
#include "session/session_state.h"
#include "session/single_instance.h"
#include "update/signature.h"
#include "update/transfer_worker_win.h"
#include "update/update_command.h"
#include "update/update_plan.h"
#include "win/handles.h"
#include "win/system_info.h"
#include "win/system_platform.h"
#include "win/wide_text.h"

namespace pw::cli {
namespace {

constexpr UINT_PTR kPresenceTimer = 1;
constexpr UINT_PTR kPresenceRecheckTimer = 2;
constexpr UINT kProgressMessage = WM_APP + 1;
constexpr UINT kTransferEndedMessage = WM_APP + 2;
constexpr DWORD kWorkerShutdownMs = 3000;

// Read by the console control handler, which runs on a thread of its own.
std::atomic<bool> g_command_running{false};

class Output {
 public:
  Output() noexcept : handle_(::GetStdHandle(STD_OUTPUT_HANDLE)) {
    DWORD mode = 0;
    console_ = ::GetConsoleMode(handle_, &mode) != 0;
  }
  bool console() const noexcept { return console_; }
  // UTF-8 in; a console gets UTF-16, anything else the UTF-8 bytes.
  void write(const std::string& text) noexcept {
    if (text.empty() || handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) return;
    if (console_) {
      try {
        const std::wstring wide = widen(text);
        DWORD written = 0;
        ::WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
      } catch (const std::bad_alloc&) {
      }
    }
    DWORD written = 0;
    ::WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }

 private:
  HANDLE handle_;
  bool console_ = false;
};

// The console front end: prints the workflow's events, answers its questions,
// and runs the thread's message loop until the command has ended.
class ConsoleFrontend final : public Frontend, public PresenceSchedule, public TransferHost {
 public:
  ConsoleFrontend(Output& out, bool json, RunDetails& details) noexcept
      : out_(out), json_(json), line_(out.console() && !json), details_(details) {}

  bool create_window() noexcept {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &ConsoleFrontend::window_proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PushwellCliEvents";
    ::RegisterClassW(&wc);
    window_ = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
    return window_ != nullptr;
  }

  SessionState& session() noexcept { return session_; }
  UpdateCommand& command() noexcept { return command_; }
  // What the workflow and the program's own checks tell: recorded, then printed.
  Frontend& recorded() noexcept { return recorder_; }
  RunDetails& details() noexcept { return details_; }

  // Serves the thread's messages until `exit_status_` is known.
  int run_until_ended() noexcept {
    MSG msg;
    while (!exit_status_ && ::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
    return exit_status_ ? *exit_status_ : kExitTransferFailed;
  }

  void finish(int exit_status) noexcept {
    if (!exit_status_) exit_status_ = exit_status;
  }
  std::optional<int> exit_status() const noexcept { return exit_status_; }

  void print(const std::string& line) noexcept {
    out_.write(line_.finish());
    out_.write(line + "\n");
  }

  // Frontend.
  void command_begins() noexcept override {
    g_command_running.store(true);
    try {
      platform_.command_started(LangText(text::kShutdownReason));
    } catch (const std::bad_alloc&) {
      session_.out_of_memory = true;
    }
  }
  void linked(bool linked) noexcept override {
    if (shown_link_ == static_cast<int>(linked)) return;  // the poll repeats itself every second
    shown_link_ = linked;
    try {
      print(json_ ? json_linked(linked) : LangText(linked ? text::kLinked : text::kNotLinked));
    } catch (const std::bad_alloc&) {
    }
  }
  void files_begin() noexcept override {}
  void step_begins(std::size_t file, const char* name) noexcept override {
    try {
      print(json_ ? json_step(name) : LangText(kUpdateFiles[file].step_text) + " (" + name + ")");
    } catch (const std::bad_alloc&) {
    }
  }
  void transfer_begins(std::size_t, std::uint32_t) noexcept override {}
  void file_progress(std::size_t file, int percent) noexcept override {
    platform_.progress(percent);
    try {
      const std::string name = kUpdateFiles[file].name;
      if (json_) print(json_progress(name, percent));
      else out_.write(line_.update(name, percent));
    } catch (const std::bad_alloc&) {
    }
  }
  void file_result(std::size_t file, FileOutcome outcome, std::uint32_t) noexcept override {
    try {
      const std::string name = kUpdateFiles[file].name;
      print(json_ ? json_result(name, outcome) : plain_result(name, outcome));
    } catch (const std::bad_alloc&) {
    }
  }
  bool message(const std::string& text, MessageStyle style) noexcept override {
    try {
      print(json_ ? json_message(text, style) : plain_message(text, style));
    } catch (const std::bad_alloc&) {
    }
    return true;
  }
  // Answered by ending: nobody is there to plug the device back in and say so.
  bool device_lost(const std::string& question) noexcept override {
    message(question, MessageStyle::warning);
    finish(kExitTransferFailed);
    return true;
  }
  // Never started from here: a script cannot answer an installer.
  void installer_wanted(const std::string& path) noexcept override {
    if (path.empty() || json_) return;
    try {
      print("The driver installer is at " + path);
    } catch (const std::bad_alloc&) {
    }
  }
  void command_ended(CommandEnd, CommandResult result) noexcept override {
    platform_.command_ended();
    g_command_running.store(false);
    finish(exit_status_of(result));
  }

  // PresenceSchedule.
  void set_poll_period(unsigned period_ms) noexcept override {
    if (window_) ::SetTimer(window_, kPresenceTimer, period_ms, nullptr);
  }
  void schedule_presence_recheck(unsigned delay_ms) noexcept override {
    if (window_) ::SetTimer(window_, kPresenceRecheckTimer, delay_ms, nullptr);
  }

  // TransferHost: from the worker's thread.
  void progressed(int position) noexcept override {
    ::PostMessageW(window_, kProgressMessage, static_cast<WPARAM>(position), 0);
  }
  void ended() noexcept override { ::PostMessageW(window_, kTransferEndedMessage, 0, 0); }

  void act_on(Outcome outcome) noexcept {
    if (outcome != Outcome::end_process) return;
    if (TransferWorker* running = command_.transfer()) {
      running->request_stop();
      ::WaitForSingleObject(running->thread(), kWorkerShutdownMs);
    }
    finish(kExitTransferFailed);
  }

 private:
  static LRESULT CALLBACK window_proc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lp);
      ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<ConsoleFrontend*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return ::DefWindowProcW(window, msg, wp, lp);
    try {
      switch (msg) {
        case WM_TIMER:
          if (wp == kPresenceRecheckTimer) ::KillTimer(window, kPresenceRecheckTimer);
          if (wp == kPresenceTimer || wp == kPresenceRecheckTimer)
            self->act_on(poll_device_presence(self->session_, self->recorder_, *self,
                                              wp == kPresenceTimer ? PresenceCheck::periodic : PresenceCheck::recheck));
          return 0;
        case kProgressMessage: self->command_.on_progress(static_cast<int>(wp)); return 0;
        case kTransferEndedMessage: self->act_on(self->command_.on_transfer_ended()); return 0;
        default: break;
      }
    } catch (const std::bad_alloc&) {
      self->session_.out_of_memory = true;
    }
    return ::DefWindowProcW(window, msg, wp, lp);
  }

  Output& out_;
  bool json_;
  ProgressLine line_;
  HWND window_ = nullptr;
  int shown_link_ = -1;
  std::optional<int> exit_status_;
  SessionState session_;
  SystemPlatform system_;
  CommandPlatform platform_{system_, session_};
  RunDetails& details_;
  RecordingFrontend recorder_{*this, details_};
  UpdateCommand command_{session_, recorder_, *this, *this};
};

BOOL WINAPI on_console_control(DWORD type) {
  ControlEvent event = ControlEvent::ctrl_c;
  switch (type) {
    case CTRL_C_EVENT: break;
    case CTRL_BREAK_EVENT: event = ControlEvent::ctrl_break; break;
    case CTRL_CLOSE_EVENT: event = ControlEvent::close; break;
    case CTRL_LOGOFF_EVENT: event = ControlEvent::logoff; break;
    default: event = ControlEvent::shutdown; break;
  }
  switch (answer_control(event, g_command_running.load())) {
    case ControlAnswer::end_now: return FALSE;
    case ControlAnswer::refused: {
      static const char kRefused[] = "\nThe update goes on: stopping it now could leave the device unusable.\n";
      DWORD written = 0;
      ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kRefused, sizeof kRefused - 1, &written, nullptr);
      return TRUE;
    }
    case ControlAnswer::cannot_refuse: break;
  }
  return FALSE;  // the system ends the process whatever this says
}

std::vector<std::string> utf8_arguments() {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(narrow(wide[i], ::lstrlenW(wide[i])));
  ::LocalFree(wide);
  return args;
}

// The folder made absolute and current; false when it is not a folder.
bool enter_folder(const std::string& folder) {
  const std::wstring given = widen(folder.empty() ? std::string(".") : folder);
  wchar_t absolute[32768];
  const DWORD length = ::GetFullPathNameW(given.c_str(), 32768, absolute, nullptr);
  if (length == 0 || length >= 32768) return false;
  const DWORD attributes = ::GetFileAttributesW(absolute);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  return ::SetCurrentDirectoryW(absolute) != 0;
}

// The end line, then the run's details when asked for, after everything else.
int end_with(ConsoleFrontend& frontend, const Arguments& arguments, int status) {
  try {
    frontend.details().add("the program ends, exit status " + std::to_string(status));
    if (arguments.json) frontend.print(json_end(status));
    if (arguments.report && arguments.command == Command::update) {
      if (arguments.json) frontend.print(json_details(frontend.details().lines()));
      else for (const std::string& line : frontend.details().lines()) frontend.print(line);
    }
  } catch (const std::bad_alloc&) {
  }
  return status;
}

// `keys`: the fingerprints of the keys built in, before anything else is looked at.
int print_trusted_keys(const Arguments& arguments, Output& out) {
  for (const TrustedKey& key : built_in_trusted_keys().keys)
    out.write((arguments.json ? json_key(key.fingerprint) : key.fingerprint) + "\n");
  if (arguments.json) out.write(json_end(kExitCompleted) + "\n");
  return kExitCompleted;
}

int run(const Arguments& arguments, Output& out) {
  if (arguments.command == Command::keys) return print_trusted_keys(arguments, out);
  RunDetails details;
  record_run_start(details, "pushwell-cli");
  ConsoleFrontend frontend(out, arguments.json, details);
  if (!enter_folder(arguments.folder)) {
    frontend.recorded().message("No such folder: " + arguments.folder, MessageStyle::stop);
    return end_with(frontend, arguments, kExitBadArguments);
  }
  std::optional<InstanceLock> lock;
  if (arguments.command == Command::update) {
    lock.emplace(InstanceLock::acquire());
    if (lock->verdict() == InstanceVerdict::another_runs) {
      frontend.recorded().message(LangText(text::kAnotherUpdater), MessageStyle::warning);
      return end_with(frontend, arguments, kExitAnotherUpdater);
    }
  }
  exclude_current_directory_from_library_search();
  {
    std::optional<PipeLibrary> library = PipeLibrary::load();
    if (library) tell_library_bound(*library, frontend.recorded());
    if (!library) {
      frontend.recorded().message(library_failure_text(LangText(text::kLibraryNotLoaded)), MessageStyle::warning);
      return end_with(frontend, arguments, kExitNoLibrary);
    }
  }
  if (!frontend.create_window()) return end_with(frontend, arguments, kExitTransferFailed);
  // The first check, as the dialog's first tick; it also arms the poll.
  if (poll_device_presence(frontend.session(), frontend.recorded(), frontend) != Outcome::go_on ||
      !frontend.session().linked) {
    if (arguments.command == Command::update)
      frontend.recorded().message(LangText(text::kDeviceNotLinked), MessageStyle::warning);
    return end_with(frontend, arguments, kExitNotLinked);
  }
  if (arguments.command == Command::status) return end_with(frontend, arguments, kExitCompleted);

  frontend.act_on(frontend.command().start());
  return end_with(frontend, arguments, frontend.run_until_ended());
}

}  // namespace
}  // namespace pw::cli

int main() {
  // No system box may wait for a user who is not there.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  ::SetConsoleOutputCP(CP_UTF8);
  pw::cli::Output out;
  try {
    const pw::cli::Parsed parsed = pw::cli::parse_arguments(pw::cli::utf8_arguments());
    if (!parsed.arguments) {
      out.write(parsed.output);
      return parsed.exit_status;
    }
    ::SetConsoleCtrlHandler(&pw::cli::on_console_control, TRUE);
    return pw::cli::run(*parsed.arguments, out);
  } catch (const std::bad_alloc&) {
    out.write("Memory Allocation Fail\n");
    return pw::cli::kExitTransferFailed;
  }
}
