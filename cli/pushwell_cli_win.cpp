// pushwell-cli: the update command of the dialog's button, and a link check,
// for scripts: the same workflow over a console front end, no window shown.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_rules.h"
#include "device/driver_call.h"
#include "device/pipe_library.h"
#include "host/single_instance.h"
#include "host/workflow_host.h"
#include "lang/lang_text.h"
#include "lang/utf.h"
#include "session/frontend.h"
#include "update/signature.h"
#include "update/update_plan.h"
#include "win/guard.h"
#include "win/handles.h"
#include "win/wide_text.h"

namespace pw::cli {
namespace {

// How long a closing console waits for the transfer under way: about what
// Windows gives a handler before it ends the process.
constexpr DWORD kCloseWaitMs = 5000;
// How long the first look at the pipe library waits for the driver.
constexpr unsigned kLibraryCheckMs = 15000;

// Read by the console control handler, which runs on a thread of its own.
std::atomic<bool> g_status_known{false};  // the exit status is decided: a Ctrl+C no longer changes it

class Output {
 public:
  Output() noexcept : handle_(::GetStdHandle(STD_OUTPUT_HANDLE)) {
    DWORD mode = 0;
    console_ = ::GetConsoleMode(handle_, &mode) != 0;
  }
  bool console() const noexcept { return console_; }
  // ASCII that needs no conversion: written as it is, allocating nothing.
  void write_fixed(const char* text) noexcept {
    DWORD written = 0;
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE)
      ::WriteFile(handle_, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  }
  // UTF-8 in; a console gets UTF-16, anything else the UTF-8 bytes.
  void write(const std::string& text) noexcept {
    if (text.empty() || handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) return;
    if (console_) {
      // Once, in UTF-16; the UTF-8 bytes only where that could not be written, since
      // a console would show them again in its code page.
      bool shown = false;
      static_cast<void>(ran_out_of_memory([&] {
        const std::wstring wide = widen(text);
        DWORD written = 0;
        shown = ::WriteConsoleW(handle_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != FALSE;
      }));
      if (shown) return;
    }
    DWORD written = 0;
    ::WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }

 private:
  HANDLE handle_;
  bool console_ = false;
};

// A top-level window that is never shown: unlike a message-only window it hears
// WM_QUERYENDSESSION, so a log-off or shutdown waits for the command as the
// dialog's does, and another program's WM_CLOSE reaches the host (which decides;
// this procedure never destroys it on its own).
UniqueWindow create_hidden_window() noexcept {
  WNDCLASSW wc{};
  wc.lpfnWndProc = &::DefWindowProcW;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"PushwellCliSession";
  ::RegisterClassW(&wc);
  return UniqueWindow(::CreateWindowExW(0, wc.lpszClassName, L"pushwell-cli", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                                        nullptr, nullptr, wc.hInstance, nullptr));
}

// The console front end: prints the workflow's events and answers its
// questions; the host runs the workflow on a hidden window of this thread.
class ConsoleFrontend final : public ProgramFace {
 public:
  ConsoleFrontend(Output& out, bool json) noexcept : out_(out), json_(json), line_(out.console() && !json) {}

  // ProgramFace.
  void another_updater_runs() noexcept override {
    std::string text;
    if (ran_out_of_memory([&] { text = LangText(text::kAnotherUpdater); })) text = kOutOfMemoryText;
    message(text, MessageStyle::warning);
    finish(kExitAnotherUpdater);
  }
  bool open_window(WorkflowHost& host) noexcept override {
    window_ = create_hidden_window();
    return window_ && host.attach(window_.get());
  }
  void close_refused() noexcept override { refuse_on_stderr(); }
  void close_now() noexcept override {}  // the host leaves its loop; the command's end said why
  static void refuse_on_stderr() noexcept {
    static const char kRefused[] = "\nThe update goes on: stopping it now could leave the device unusable.\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kRefused, sizeof kRefused - 1, &written, nullptr);
  }

  std::optional<int> exit_status() const noexcept { return exit_status_; }
  void finish(int exit_status) noexcept {
    if (!exit_status_) exit_status_ = exit_status;
  }

  void print(const std::string& line) noexcept {
    static_cast<void>(ran_out_of_memory([&] {
      out_.write(line_.finish());
      out_.write(line + "\n");
    }));
  }

  void linked(bool linked) noexcept override {
    static_cast<void>(ran_out_of_memory(
        [&] { print(json_ ? json_linked(linked) : LangText(linked ? text::kLinked : text::kNotLinked)); }));
  }
  void files_begin() noexcept override {}
  void folder_being_checked(const std::string& text) noexcept override {
    static_cast<void>(ran_out_of_memory([&] { print(json_ ? json_folder_check(text) : text); }));
  }
  void step_begins(std::size_t, const char* name, const std::string& text) noexcept override {
    static_cast<void>(ran_out_of_memory([&] { print(json_ ? json_step(name) : text + " (" + name + ")"); }));
  }
  void transfer_begins(std::size_t, std::uint32_t) noexcept override {}
  void file_progress(std::size_t file, int percent) noexcept override {
    static_cast<void>(ran_out_of_memory([&] {
      const std::string name = kUpdateFiles[file].name;
      if (json_)
        print(json_progress(name, percent));
      else
        out_.write(line_.update(name, percent));
    }));
  }
  void file_result(std::size_t file, FileOutcome outcome, std::uint32_t) noexcept override {
    static_cast<void>(ran_out_of_memory([&] {
      const std::string name = kUpdateFiles[file].name;
      print(json_ ? json_result(name, outcome) : plain_result(name, outcome));
    }));
  }
  bool message(const std::string& text, MessageStyle style) noexcept override {
    static_cast<void>(
        ran_out_of_memory([&] { print(json_ ? json_message(text, style) : plain_message(text, style)); }));
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
    static_cast<void>(ran_out_of_memory([&] { print("The driver installer is at " + path); }));
  }
  void installer_not_started(const std::string& text) noexcept override {
    static_cast<void>(ran_out_of_memory([&] { print(json_ ? json_message(text, MessageStyle::warning) : text); }));
  }
  void command_ended(CommandEnd, CommandResult result) noexcept override {
    finish(exit_status_of(result));
    g_status_known.store(true);
  }
  void memory_ran_out() noexcept override { message(kOutOfMemoryText, MessageStyle::warning); }
  void driver_not_answering() noexcept override {
    static_cast<void>(ran_out_of_memory([&] {
      print(json_ ? json_message(LangText(text::kDriverNotAnswering), MessageStyle::warning)
                  : LangText(text::kDriverNotAnswering));
    }));
  }

 private:
  Output& out_;
  bool json_;
  ProgressLine line_;
  std::optional<int> exit_status_;
  UniqueWindow window_;
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
  switch (answer_control(event, WorkflowHost::published_phase(), g_status_known.load())) {
    // Windows' own end of an interrupted console program, said the same way
    // everywhere (some systems' default handler ends with 0, which reads as success).
    case ControlAnswer::end_now:
      ::ExitProcess(kExitInterrupted);
    case ControlAnswer::status_stands: return TRUE;  // the ended command's status is returned from main
    case ControlAnswer::refused: ConsoleFrontend::refuse_on_stderr(); return TRUE;
    case ControlAnswer::cannot_refuse: break;
  }
  // The system ends the process once this returns: a file not yet sending is
  // stopped and sends nothing, the one going out gets as long as the system
  // allows to arrive whole, and no further file starts.
  WorkflowHost::console_closing(kCloseWaitMs);
  return FALSE;
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

// The folder made absolute; empty when it is not a folder. A path too long for
// the update files is still found here (through its \\?\ form), so the command
// refuses it as such.
std::string absolute_folder(const std::string& folder) {
  const std::wstring given = widen(folder.empty() ? std::string(".") : folder);
  std::wstring absolute(32768, L'\0');
  const DWORD length = ::GetFullPathNameW(given.c_str(), 32768, &absolute[0], nullptr);
  if (length == 0 || length >= 32768) return std::string();
  absolute.resize(length);
  std::wstring extended = absolute;
  if (absolute.compare(0, 2, L"\\\\") == 0) {
    if (absolute.compare(0, 4, L"\\\\?\\") != 0 && absolute.compare(0, 4, L"\\\\.\\") != 0)
      extended = L"\\\\?\\UNC\\" + absolute.substr(2);
  } else {
    extended = L"\\\\?\\" + absolute;
  }
  const DWORD attributes = ::GetFileAttributesW(extended.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::string();
  while (absolute.size() > 3 && absolute.back() == L'\\') absolute.pop_back();  // "C:\" keeps its own
  return narrow(absolute);
}

// The end line, then the run's details when asked for, after everything else.
int end_with(WorkflowHost& host, ConsoleFrontend& frontend, const Arguments& arguments, int status) {
  static_cast<void>(ran_out_of_memory([&] {
    host.details().add("the program ends, exit status " + std::to_string(status));
    if (arguments.json) frontend.print(json_end(status));
    if (arguments.report && arguments.command == Command::update) {
      if (arguments.json)
        frontend.print(json_details(host.details().lines()));
      else
        for (const std::string& line : host.details().lines()) frontend.print(line);
    }
  }));
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
  WorkflowHost host("pushwell-cli", ProcessEnd::leave_loop);
  ConsoleFrontend frontend(out, arguments.json);
  host.listen(frontend);
  Frontend& record = host.record();
  const std::string folder = absolute_folder(arguments.folder);
  if (folder.empty()) {
    record.message("No such folder: " + printable_text(arguments.folder), MessageStyle::stop);
    return end_with(host, frontend, arguments, kExitBadArguments);
  }
  RunOptions options;
  options.folder = folder;
  options.lock_only_looked_at = arguments.command == Command::status;
  options.library_first = true;
  options.first_check_waits = true;
  options.update_at_once = arguments.command == Command::update;
  options.allow_battery = arguments.allow_battery;
  switch (host.run(options, frontend)) {
    case RunEnd::another_updater: return end_with(host, frontend, arguments, kExitAnotherUpdater);
    case RunEnd::no_library: return end_with(host, frontend, arguments, kExitNoLibrary);
    case RunEnd::no_window: return end_with(host, frontend, arguments, kExitTransferFailed);
    case RunEnd::not_linked:
      if (arguments.command == Command::update)
        static_cast<void>(
            ran_out_of_memory([&] { record.message(LangText(text::kDeviceNotLinked), MessageStyle::warning); }));
      return end_with(host, frontend, arguments, kExitNotLinked);
    case RunEnd::driver_stuck: return end_with(host, frontend, arguments, kExitDriverNotAnswering);
    case RunEnd::linked: return end_with(host, frontend, arguments, kExitCompleted);
    case RunEnd::ended: break;
  }
  // The lost-device question answered by ending: the update did not complete.
  if (host.process_end_wanted()) frontend.finish(kExitTransferFailed);
  return end_with(host, frontend, arguments, frontend.exit_status().value_or(kExitTransferFailed));
}

}  // namespace
}  // namespace pw::cli

int main() {
  // No system box may wait for a user who is not there.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
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
    // Said as every other end is, also to a script that reads JSON lines; built
    // from fixed texts, since there is no room for new ones.
    const bool json = std::strstr(::GetCommandLineA(), "--json") != nullptr;
    if (json) out.write_fixed("{\"event\":\"error\",\"text\":\"");
    out.write_fixed(pw::kOutOfMemoryText);
    out.write_fixed(json ? "\"}\n{\"event\":\"end\",\"exit\":5}\n" : "\n");
    return pw::cli::kExitTransferFailed;
  }
}
