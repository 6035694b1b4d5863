// The fault campaign's runner: for each seed, the folder and the faults its plan
// draws, one of the two programs run against devsim with them (the dialog driven
// as a user would: the click, and OK on every box), what the device got and what
// the program said recorded, and the oracle's verdict printed. A run that breaks
// a rule prints its plan and the command that replays it.
//
//   campaign --seed N | --seeds FIRST-LAST | --seed-list N,N,...
//            [--bin DIR] [--programs DIR] [--program console|dialog] [--results FILE]
//            [--wine-log PATH] [--record DIR] [--keep]
//
// --bin: the build's bin folder (default: this program's); --programs: the
// folder of a broken build's two test programs, run for unsigned folders
// instead of bin's (bin/mutants/<name>, tests/CMakeLists.txt); --wine-log: the file
// Wine's debug output of this session goes to, read for the heap checker's
// warnings (the programs run with WINEDEBUG=-all,err+heap,warn+heap then);
// --results: one line a run, appended (its last three columns: the pair the
// plan drew on purpose, how many pairs there are, and whether it struck); --record: every run's record and capture.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim_control.h"
#include "tools/campaign/campaign_oracle.h"
#include "tools/campaign/campaign_plan.h"
#include "tools/driver/driver.h"
#include "win/handles.h"

namespace pw::campaign {
namespace {

using e2e::LaunchOptions;
using e2e::Millis;
using Clock = std::chrono::steady_clock;

constexpr int kUpdateButton = 1000;
constexpr int kLinkStatus = 1002;
constexpr WPARAM kCopyDetails = 0x0020;  // the system menu's "Copy details"
constexpr char kPowerOnAc[] = "1 0 100";
constexpr char kPowerLow[] = "0 0 10";

struct Options {
  std::string bin;
  std::string programs;  // where the programs of an unsigned folder come from (a broken build's), if not bin
  std::vector<std::uint64_t> seeds;
  std::optional<Program> program;
  std::string results;
  std::string wine_log;
  std::string record;
  bool keep = false;
  bool verbose = false;  // the plan of every run, not only of those that break
  bool plans_only = false;  // print the plans, run nothing
};

std::string replay_command(const Plan& plan) {
  char prefix[512];
  const DWORD n = ::GetEnvironmentVariableA("PUSHWELL_CAMPAIGN_REPLAY", prefix, sizeof prefix);
  std::string command = n > 0 && n < sizeof prefix ? std::string(prefix) : std::string("campaign.exe");
  command += " --seed " + std::to_string(plan.seed);
  command += plan.program == Program::dialog ? " --program dialog" : " --program console";
  return command;
}

bool write_file(const std::string& path, const Bytes& bytes) {
  return e2e::write_text_file(path, std::string(bytes.begin(), bytes.end()));
}

// A file replaced whole, never seen half written: written beside, then moved
// over it. A file the program holds open may refuse for a moment.
bool replace_file(const std::string& path, const Bytes& bytes) {
  const std::string beside = path + ".new";
  if (!write_file(beside, bytes)) return false;
  return e2e::poll_until(
      [&] {
        return ::MoveFileExW(e2e::wide(beside).c_str(), e2e::wide(path).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
      },
      Millis{2000});
}

// Runs one helper program to its end; its exit status, or nullopt.
std::optional<DWORD> run_helper(const std::string& command_line, DWORD flags = CREATE_NO_WINDOW) {
  std::string command = command_line;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::string failure;
  if (!sim::create_process_tried(
          [&] {
            return ::CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                                    &info) != 0;
          },
          command, &failure))
    return std::nullopt;
  const UniqueHandle process(info.hProcess);
  const UniqueHandle thread(info.hThread);
  DWORD status = 1;
  if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0 || !::GetExitCodeProcess(process.get(), &status))
    return std::nullopt;
  return status;
}

std::string quoted(const std::string& text) { return sim::quote_argument(text); }

// The campaign's other signing key, made once.
std::string other_key(const Options& options) {
  static std::string path;
  if (!path.empty()) return path;
  const std::string made = e2e::join_path(options.bin, "campaign-other-key.pem");
  if (!e2e::file_exists(made)) {
    const std::string camtool = e2e::join_path(options.bin, "camtool.exe");
    run_helper(quoted(camtool) + " keygen " + quoted(made) + " " + quoted(made + ".pub"));
  }
  if (e2e::file_exists(made)) path = made;
  return path;
}

bool sign_folder(const Options& options, const std::string& folder, const std::string& key) {
  const std::string camtool = e2e::join_path(options.bin, "camtool.exe");
  const std::optional<DWORD> status = run_helper(quoted(camtool) + " sign --key " + quoted(key) + " " + quoted(folder));
  return status && *status == 0;
}

// Ctrl+C or Ctrl+Break in the console of process `pid`, from a helper of our
// own: a process can only raise the event in a console it is attached to.
int send_console_event(DWORD pid, DWORD event) {
  ::FreeConsole();
  if (!::AttachConsole(pid)) return 2;
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  return ::GenerateConsoleCtrlEvent(event, 0) ? 0 : 3;
}

class Run {
 public:
  Run(const Options& options, Plan plan)
      // Named by the seed too: workers in other Wine prefixes reuse process ids.
      : options_(options), plan_(std::move(plan)), scratch_("campaign-s" + std::to_string(plan_.seed)),
        device_(sim::unique_device_name("campaign")) {}
  ~Run() {
    program_.kill();
    dialog_.process().kill();
    devsim_.stop();
    held_.reset();
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // False, with `problem_` set, when the rig itself could not do its part.
  bool execute();
  const Record& record() const { return record_; }
  const std::string& problem() const { return problem_; }
  const std::string& folder() const { return folder_; }

 private:
  bool prepare_folder();
  bool start_device();
  LaunchOptions launch_options(const std::string& directory) const;
  bool start_program();
  void fire_due_faults(double ms);
  void fire(std::size_t index, double ms);
  void follow_up(double ms);
  bool poll_dialog(double ms);
  std::vector<std::string> copy_details();
  void settle_capture();
  void count_heap_warnings();
  std::string program_exe() const;
  DWORD program_pid() const { return console() ? program_.id() : dialog_.process().id(); }
  bool console() const { return plan_.program == Program::console; }
  sim::Status status() const {
    sim::Status s;
    devsim_.status(&s);
    return s;
  }

  const Options& options_;
  Plan plan_;
  e2e::ScratchFolder scratch_;
  std::string folder_;
  std::string device_;
  std::string capture_path_;
  std::string output_path_;
  std::string power_path_;
  sim::DevsimProcess devsim_;
  e2e::Process program_;
  e2e::DialogApp dialog_;
  UniqueHandle held_;  // the locked file
  Record record_;
  std::string problem_;
  std::vector<bool> fired_;
  // Follow-ups: a device plugged in again, a stall or a refused probe let go.
  struct Later {
    double at_ms;
    std::string command;
    bool rearm = false;
  };
  std::vector<Later> later_;
  bool unplug_seen_ = false;
  bool stall_seen_ = false;
  std::vector<HWND> boxes_answered_;
  long long heap_log_start_ = 0;
  Clock::time_point idle_since_{};
};

std::string Run::program_exe() const {
  const bool keys = plan_.signing != Signing::none;
  const char* exe = console() ? (keys ? "pushwell-cli-signed-test.exe" : "pushwell-cli-test.exe")
                              : (keys ? "Pushwell-signed-test.exe" : "Pushwell-test.exe");
  return e2e::join_path(keys || options_.programs.empty() ? options_.bin : options_.programs, exe);
}

bool Run::prepare_folder() {
  if (!scratch_.ok()) return problem_ = "no scratch folder", false;
  folder_ = scratch_.subfolder("update");
  capture_path_ = scratch_.file("capture.bin");
  output_path_ = scratch_.file("output.txt");
  power_path_ = scratch_.file("power.txt");
  for (const PlannedFile& file : plan_.files)
    if (!write_file(e2e::join_path(folder_, file.name()), file_bytes(file))) return problem_ = "cannot write", false;
  const std::string maker_key = e2e::join_path(options_.bin, "test-maker.pem");
  switch (plan_.signing) {
    case Signing::none: break;
    case Signing::right_key:
      if (!sign_folder(options_, folder_, maker_key)) return problem_ = "camtool sign failed", false;
      break;
    case Signing::wrong_key:
      if (other_key(options_).empty() || !sign_folder(options_, folder_, other_key(options_)))
        return problem_ = "camtool could not sign with another key", false;
      break;
    case Signing::stale_list: {
      if (!sign_folder(options_, folder_, maker_key)) return problem_ = "camtool sign failed", false;
      const PlannedFile& first = plan_.files.front();
      write_file(e2e::join_path(folder_, first.name()), changed_file_bytes(first, 0));
      break;
    }
  }
  for (const PlannedFile& file : plan_.files)
    if (file.damage == Damage::locked) {
      held_.reset(::CreateFileW(e2e::wide(e2e::join_path(folder_, file.name())).c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
      if (!held_) return problem_ = "cannot lock " + std::string(file.name()), false;
    }
  const bool low_from_start = std::any_of(plan_.faults.begin(), plan_.faults.end(), [](const Fault& f) {
    return f.kind == FaultKind::low_battery && f.at == 0;
  });
  return e2e::write_text_file(power_path_, low_from_start ? kPowerLow : kPowerOnAc);
}

bool Run::start_device() {
  std::vector<std::string> args = {"--capture", capture_path_};
  for (const Fault& f : plan_.faults) {
    const std::string at = std::to_string(f.at);
    if (f.kind == FaultKind::unplug && f.at_byte) args.insert(args.end(), {"--unplug-after", at});
    if (f.kind == FaultKind::stall) args.insert(args.end(), {"--stall-after", at});
    if (f.kind == FaultKind::write_error) args.insert(args.end(), {"--fail-after", at});
    if (f.kind == FaultKind::slow_open) {
      args.insert(args.end(), {"--slow-open", std::to_string(f.length), "--slow-open-from", std::to_string(f.count)});
    }
    if (f.kind == FaultKind::slow_line && f.at == 0) args.insert(args.end(), {"--rate", std::to_string(f.length)});
  }
  devsim_.set_output_file(scratch_.file("devsim.log"));
  if (!devsim_.launch(device_, args)) return problem_ = "devsim did not start: " + devsim_.failure(), false;
  return true;
}

LaunchOptions Run::launch_options(const std::string& directory) const {
  LaunchOptions launch;
  launch.current_directory = directory;
  launch.environment = {{"PUSHWELL_SIM_DEVICE", device_},
                        {"PUSHWELL_SIM_INSTALLER_LOG", scratch_.file("installer.log")},
                        {"PUSHWELL_TEST_POWER_STATUS", power_path_}};
  if (!options_.wine_log.empty()) launch.environment.emplace_back("WINEDEBUG", "-all,err+heap,warn+heap");
  return launch;
}

bool Run::start_program() {
  if (console()) {
    LaunchOptions launch = launch_options(scratch_.path());
    launch.arguments = "--json update --report " + quoted(folder_);
    launch.output_path = output_path_;
    launch.error_path = scratch_.file("errors.txt");  // a refused Ctrl+C says so there
    launch.new_console = true;  // so Ctrl+C can reach it
    if (!program_.start(program_exe(), launch)) return problem_ = "cannot start: " + program_.error(), false;
    return true;
  }
  if (!dialog_.start(program_exe(), launch_options(folder_)) || !dialog_.wait_for_main_dialog())
    return problem_ = "the dialog did not open", false;
  const std::string linked = e2e::read_profile_string(e2e::join_path(options_.bin, "lang.ini"), "message", "1024");
  if (!dialog_.wait_for_text(kLinkStatus, {linked})) return problem_ = "the dialog never linked", false;
  if (!dialog_.click(kUpdateButton)) return problem_ = "Update cannot be clicked", false;
  return true;
}

void Run::fire_due_faults(double ms) {
  std::optional<sim::Status> device;  // asked once a look, and only when a fault waits for it
  for (std::size_t i = 0; i < plan_.faults.size(); ++i) {
    const Fault& f = plan_.faults[i];
    if (fired_[i] || f.at_byte || f.kind == FaultKind::slow_open) continue;
    if ((f.kind == FaultKind::low_battery || f.kind == FaultKind::slow_line) && f.wait == Wait::clock && f.at == 0) {
      fired_[i] = true;  // in force from the start
      record_.fired.push_back({i, 0, 0});
      continue;
    }
    if (f.wait == Wait::clock && ms < static_cast<double>(f.at)) continue;
    if (f.wait != Wait::clock && !device) device = status();
    if (f.wait == Wait::bytes && device->bytes_received < f.at) continue;
    if (f.wait == Wait::open && device->out_pipe_opens < static_cast<long>(f.at)) continue;
    // A console event raised while Wine still starts the process meets its own
    // default handler, which ends it with status 0 where Windows' says
    // STATUS_CONTROL_C_EXIT: the key is pressed once the program runs (its
    // hidden window, made after its handler, is there). A message for the
    // program's windows waits for them too, or it would strike nothing.
    const bool console_event = f.kind == FaultKind::ctrl_c || (console() && f.kind == FaultKind::close_attempt);
    const bool to_windows =
        f.kind == FaultKind::wm_close || f.kind == FaultKind::wm_quit || f.kind == FaultKind::query_end_session;
    if ((console_event || to_windows) && e2e::windows_of_process(program_pid()).empty()) continue;
    fire(i, ms);
  }
}

void Run::fire(std::size_t index, double ms) {
  fired_[index] = true;
  const Fault& f = plan_.faults[index];
  // Counted before it strikes: a byte here surely came before the fault.
  const std::uint64_t device_bytes = status().bytes_received;
  const DWORD pid = program_pid();
  bool done = true;
  // Where a close may end the dialog, what the details say just before it tells
  // whether its command had ended.
  const bool closes = f.kind == FaultKind::close_attempt || f.kind == FaultKind::wm_close ||
                      f.kind == FaultKind::wm_quit || f.kind == FaultKind::query_end_session;
  if (!console() && closes)
    if (std::vector<std::string> details = copy_details(); !details.empty()) record_.details = details;
  switch (f.kind) {
    case FaultKind::unplug:
      devsim_.command("unplug");
      if (f.length) later_.push_back({ms + f.length, "plug"});
      break;
    case FaultKind::hung_probe: sim::set_hang_probe(device_, f.length); break;
    case FaultKind::refused_probe:
      devsim_.command("refuse-probe on");
      later_.push_back({ms + f.length, "refuse-probe off"});
      break;
    case FaultKind::file_changed: {
      const PlannedFile* file = plan_.file_in(f.slot);
      done = file && file->damage != Damage::locked &&
             replace_file(e2e::join_path(folder_, file->name()), changed_file_bytes(*file, f.count));
      break;
    }
    case FaultKind::file_added:
      done = replace_file(e2e::join_path(folder_, kSlotNames[f.slot]), file_bytes(added_file(plan_, f)));
      break;
    case FaultKind::close_attempt:
      if (console()) {
        done = run_helper(quoted(e2e::join_path(options_.bin, "campaign.exe")) + " --console-event " +
                              std::to_string(pid) + " 1",
                          DETACHED_PROCESS) == std::optional<DWORD>(0);
      } else if (plan_.seed % 2) {
        done = dialog_.click(IDCANCEL);
      } else {
        done = dialog_.system_command(SC_CLOSE);
      }
      break;
    case FaultKind::ctrl_c:
      done = run_helper(quoted(e2e::join_path(options_.bin, "campaign.exe")) + " --console-event " +
                            std::to_string(pid) + " 0",
                        DETACHED_PROCESS) == std::optional<DWORD>(0);
      break;
    case FaultKind::wm_close:
      for (HWND window : e2e::windows_of_process(pid)) ::PostMessageW(window, WM_CLOSE, 0, 0);
      break;
    case FaultKind::wm_quit: {
      const std::vector<HWND> windows = e2e::windows_of_process(pid);
      const DWORD thread = windows.empty() ? 0 : ::GetWindowThreadProcessId(windows.front(), nullptr);
      done = thread && ::PostThreadMessageW(thread, WM_QUIT, 0, 0);
      break;
    }
    case FaultKind::query_end_session: {
      // As Windows ends a session: asked first; when every window agrees, told
      // it ends, and then the process is ended.
      const std::vector<HWND> windows = e2e::windows_of_process(pid);
      bool agreed = !windows.empty();
      for (HWND window : windows) {
        DWORD_PTR answer = 0;
        if (!::SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer) ||
            !answer)
          agreed = false;
      }
      for (HWND window : windows)
        ::SendMessageTimeoutW(window, WM_ENDSESSION, agreed ? TRUE : FALSE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000,
                              nullptr);
      if (agreed && (console() ? program_.running() : dialog_.process().running())) {
        record_.ended_by_session = true;
        (console() ? program_ : dialog_.process()).kill();
      }
      done = !windows.empty();
      break;
    }
    case FaultKind::low_battery: e2e::write_text_file(power_path_, kPowerLow); break;
    case FaultKind::slow_line: devsim_.command("rate " + std::to_string(f.length)); break;
    default: done = false; break;
  }
  if (done) record_.fired.push_back({index, static_cast<std::uint64_t>(ms), device_bytes});
}

// A stall or an unplug the device counted itself, let go after its time.
void Run::follow_up(double ms) {
  for (const Fault& f : plan_.faults) {
    if (!f.at_byte || !f.length) continue;
    if (f.kind == FaultKind::unplug && !unplug_seen_ && !status().plugged) {
      unplug_seen_ = true;
      later_.push_back({ms + f.length, "plug"});
    }
    if (f.kind == FaultKind::stall && !stall_seen_ && status().stalled) {
      stall_seen_ = true;
      later_.push_back({ms + f.length, "fault none", true});
    }
  }
  for (auto it = later_.begin(); it != later_.end();) {
    if (ms < it->at_ms) {
      ++it;
      continue;
    }
    devsim_.command(it->command);
    if (it->rearm) {
      // "fault none" clears every byte fault: arm again those still ahead.
      const std::uint64_t received = status().bytes_received;
      for (const Fault& f : plan_.faults) {
        if (!f.at_byte || f.at <= received || f.kind == FaultKind::stall) continue;
        devsim_.command(std::string("fault ") + (f.kind == FaultKind::unplug ? "unplug " : "fail ") + std::to_string(f.at));
      }
    }
    it = later_.erase(it);
  }
}

std::vector<std::string> Run::copy_details() {
  std::vector<std::string> lines;
  HWND main = dialog_.main_dialog();
  if (!main || !::IsWindow(main)) return lines;
  e2e::clear_clipboard();
  if (!dialog_.system_command(kCopyDetails)) return lines;
  std::optional<std::string> text;
  e2e::poll_until([&] { return (text = e2e::clipboard_text()).has_value() && !text->empty(); }, Millis{3000});
  if (!text) return lines;
  std::istringstream in(*text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// One look at the dialog: every new box recorded with the details then, and
// answered OK. True once its command has ended and nothing is open.
bool Run::poll_dialog(double) {
  const std::vector<HWND> boxes = dialog_.open_message_boxes();
  for (HWND box : boxes) {
    if (std::find(boxes_answered_.begin(), boxes_answered_.end(), box) != boxes_answered_.end()) continue;
    if (std::vector<std::string> details = copy_details(); !details.empty()) record_.details = details;
    e2e::click(box, IDOK);
    boxes_answered_.push_back(box);
    idle_since_ = Clock::time_point{};
  }
  if (!boxes.empty()) return false;
  // No box: look at the details now and then, for the command's end.
  const Clock::time_point now = Clock::now();
  if (idle_since_ == Clock::time_point{}) idle_since_ = now;
  if (now - idle_since_ < Millis{400}) return false;
  idle_since_ = now;
  const std::vector<std::string> details = copy_details();
  if (details.empty()) return false;
  record_.details = details;
  bool began = false, ended = false;
  for (const std::string& line : details) {
    if (line.find(" update command begins") != std::string::npos) began = true, ended = false;
    if (line.find(" update command ended: ") != std::string::npos) ended = true;
  }
  // A click that started no command (the driver not answering): a box said so.
  return ended || (!began && !record_.output.empty() && dialog_.enabled(kUpdateButton));
}

void Run::settle_capture() {
  // Bytes still in the pipe reach the device after the program has gone: the
  // capture counts once it has not grown for half a second.
  std::uint64_t last = UINT64_MAX;
  ULONGLONG still_since = 0;
  e2e::poll_until(
      [&] {
        const std::uint64_t now = status().bytes_received;
        if (now != last) still_since = ::GetTickCount64();
        last = now;
        return ::GetTickCount64() - still_since >= 500;
      },
      Millis{10000});
  devsim_.command("flush");
  record_.capture = sim::read_file_bytes(capture_path_);
}

void Run::count_heap_warnings() {
  if (options_.wine_log.empty()) return;
  const Bytes log = sim::read_file_bytes(options_.wine_log);
  const std::string text(log.begin() + std::min<std::size_t>(log.size(), heap_log_start_), log.end());
  for (std::size_t at = text.find(":heap:"); at != std::string::npos; at = text.find(":heap:", at + 1))
    ++record_.heap_warnings;
}

bool Run::execute() {
  fired_.assign(plan_.faults.size(), false);
  const std::string lang = e2e::join_path(options_.bin, "lang.ini");
  record_.texts = {e2e::read_profile_string(lang, "message", "1010"),
                   e2e::read_profile_string(lang, "message", "1035"),
                   e2e::read_profile_string(lang, "message", "1021")};
  heap_log_start_ = static_cast<long long>(sim::read_file_bytes(options_.wine_log).size());
  if (!prepare_folder() || !start_device() || !start_program()) return false;
  const Clock::time_point start = Clock::now();
  const Millis deadline{bound_ms(plan_) + 1000};  // past its bound a run has hung: no need to wait longer
  const auto elapsed = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };
  e2e::Process& process = console() ? program_ : dialog_.process();
  while (true) {
    const double ms = elapsed();
    // Read after the device answers: the byte came at the latest then.
    if (!record_.first_byte_ms && status().bytes_received > 0) record_.first_byte_ms = elapsed();
    fire_due_faults(ms);
    follow_up(ms);
    if (record_.ended_by_session || !process.running()) break;
    if (!console() && poll_dialog(ms)) {
      record_.closed_by_runner = true;
      break;
    }
    if (ms > static_cast<double>(deadline.count())) break;
    ::Sleep(20);
  }
  record_.seconds = elapsed() / 1000;
  record_.ended = record_.ended_by_session || !process.running() || record_.closed_by_runner;
  if (record_.closed_by_runner) {
    // The command has ended: Cancel closes it, as a user would; boxes still get OK.
    dialog_.click(IDCANCEL);
    e2e::poll_until([&] {
      for (HWND box : dialog_.open_message_boxes()) e2e::click(box, IDOK);
      return !process.running();
    });
    if (process.running()) record_.ended = false;
  }
  if (!console())
    for (const e2e::SeenBox& box : dialog_.boxes_seen()) record_.output.push_back(box.text);
  if (record_.ended && !record_.ended_by_session) record_.exit_status = process.exit_code();
  // What it started goes with it.
  e2e::poll_until([&] { return process.processes_alive() <= 0; }, Millis{10000});
  record_.processes_left = std::max(0, process.processes_alive());
  process.kill();
  held_.reset();
  for (const Fault& f : plan_.faults)
    if (f.kind == FaultKind::slow_open && status().out_pipe_opens >= static_cast<long>(f.count))
      record_.fired.push_back({static_cast<std::size_t>(&f - plan_.faults.data()), 0, 0});
  devsim_.command("fault none");
  sim::set_hang_probe(device_, std::nullopt);
  sim::set_slow_open(device_, std::nullopt);
  settle_capture();
  if (console()) {
    const Bytes out = sim::read_file_bytes(output_path_);
    std::istringstream in(std::string(out.begin(), out.end()));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      record_.output.push_back(line);
    }
  }
  count_heap_warnings();
  return true;
}

void save_record(const std::string& folder, const Plan& plan, const Record& record) {
  e2e::make_folder(folder);
  e2e::write_text_file(e2e::join_path(folder, "plan.txt"), describe(plan) + "\n");
  e2e::write_text_file(e2e::join_path(folder, "record.txt"), write_record(record));
  write_file(e2e::join_path(folder, "capture.bin"), record.capture);
}

const char* kind_name(BreakKind kind) {
  return kind == BreakKind::hang ? "hang" : kind == BreakKind::lie ? "lie" : "leak";
}

// Runs one seed; 0 when the oracle holds, 1 when it breaks, 2 when the rig
// failed. `landed`: the pair its plan drew on purpose struck.
int run_seed(const Options& options, std::uint64_t seed, std::ofstream* results, bool* landed) {
  Plan plan = draw_plan(seed);
  if (options.program) {
    plan.program = *options.program;
    if (plan.program == Program::dialog)
      for (Fault& f : plan.faults)
        if (f.kind == FaultKind::ctrl_c) f.kind = FaultKind::close_attempt;
  }
  Run run(options, plan);
  const bool executed = run.execute();
  std::ostringstream line;
  int verdict_code = 2;
  Verdict verdict;
  if (!executed) {
    line << "seed " << seed << ": RIG " << run.problem();
  } else {
    verdict = judge(plan, run.record());
    verdict_code = verdict.holds() ? 0 : 1;
    *landed = pair_landed(plan, run.record());
    line << "seed " << seed << ": " << (verdict.holds() ? "holds" : "BREAKS") << " ("
         << (plan.program == Program::dialog ? "dialog" : "console") << ", " << outcome_name(verdict.reported)
         << ", " << static_cast<int>(run.record().seconds * 10) / 10.0 << " s)";
  }
  std::cout << line.str() << std::endl;
  if (verdict_code != 0 || options.verbose) {
    std::cout << "  plan: " << describe(plan) << "\n";
    for (const Break& b : verdict.breaks) std::cout << "  " << kind_name(b.kind) << ": " << b.rule << "\n";
    std::cout << "  replay: " << replay_command(plan) << std::endl;
  }
  if (!options.record.empty() || verdict_code == 1) {
    const std::string root = options.record.empty() ? e2e::join_path(options.bin, "campaign-breaks") : options.record;
    e2e::make_folder(root);
    save_record(e2e::join_path(root, "seed-" + std::to_string(seed)), plan, run.record());
  }
  if (results && *results) {
    std::string kinds;
    for (const Fault& f : plan.faults) kinds += (kinds.empty() ? "" : ",") + std::string(fault_name(f.kind));
    std::string rules;
    for (const Break& b : verdict.breaks) rules += (rules.empty() ? "" : " | ") + std::string(kind_name(b.kind)) + ": " + b.rule;
    *results << seed << '\t' << (plan.program == Program::dialog ? "dialog" : "console") << '\t'
             << run.record().seconds << '\t' << (verdict_code == 0 ? "holds" : verdict_code == 1 ? "breaks" : "rig")
             << '\t' << outcome_name(verdict.reported) << '\t' << (kinds.empty() ? "-" : kinds) << '\t'
             << (rules.empty() ? (verdict_code == 2 ? run.problem() : "-") : rules) << '\t'
             << (plan.pair >= 0 ? pair_name(pairs()[static_cast<std::size_t>(plan.pair)]) : "-") << '\t'
             << pairs().size() << '\t' << (*landed ? "landed" : "-") << std::endl;
  }
  return verdict_code;
}

bool parse_seeds(const std::string& text, std::vector<std::uint64_t>* seeds) {
  const std::size_t dash = text.find('-');
  if (dash != std::string::npos) {
    const std::uint64_t first = std::strtoull(text.substr(0, dash).c_str(), nullptr, 10);
    const std::uint64_t last = std::strtoull(text.substr(dash + 1).c_str(), nullptr, 10);
    for (std::uint64_t s = first; s <= last; ++s) seeds->push_back(s);
    return last >= first;
  }
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) seeds->push_back(std::strtoull(item.c_str(), nullptr, 10));
  return !seeds->empty();
}

int usage() {
  std::cerr << "usage: campaign --seed N | --seeds FIRST-LAST | --seed-list N,N,... [--bin DIR] [--programs DIR]\n"
               "                [--program console|dialog] [--results FILE] [--wine-log PATH] [--record DIR] [--keep] [--verbose] [--plans-only]\n";
  return 2;
}

int main_with(const std::vector<std::string>& args) {
  if (args.size() == 3 && args[0] == "--console-event")
    return send_console_event(static_cast<DWORD>(std::strtoul(args[1].c_str(), nullptr, 10)),
                              static_cast<DWORD>(std::strtoul(args[2].c_str(), nullptr, 10)));
  Options options;
  options.bin = e2e::bin_folder();
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    if ((a == "--seed" || a == "--seeds" || a == "--seed-list") && has_value) {
      if (!parse_seeds(args[++i], &options.seeds)) return usage();
    } else if (a == "--bin" && has_value) {
      options.bin = args[++i];
    } else if (a == "--programs" && has_value) {
      options.programs = args[++i];
    } else if (a == "--program" && has_value) {
      const std::string p = args[++i];
      if (p != "console" && p != "dialog") return usage();
      options.program = p == "dialog" ? Program::dialog : Program::console;
    } else if (a == "--results" && has_value) {
      options.results = args[++i];
    } else if (a == "--wine-log" && has_value) {
      options.wine_log = args[++i];
    } else if (a == "--record" && has_value) {
      options.record = args[++i];
    } else if (a == "--keep") {
      options.keep = true;
    } else if (a == "--verbose") {
      options.verbose = true;
    } else if (a == "--plans-only") {
      options.plans_only = true;
    } else {
      return usage();
    }
  }
  if (options.seeds.empty()) return usage();
  if (options.plans_only) {
    for (const std::uint64_t seed : options.seeds) std::cout << describe(draw_plan(seed)) << "\n";
    return 0;
  }
  if (options.keep) ::SetEnvironmentVariableA("PUSHWELL_E2E_KEEP", "1");
  std::ofstream results;
  if (!options.results.empty()) results.open(options.results, std::ios::app);
  int holds = 0, breaks = 0, rig = 0;
  std::set<long> pairs_drawn;
  for (const std::uint64_t seed : options.seeds) {
    bool landed = false;
    const int verdict = run_seed(options, seed, options.results.empty() ? nullptr : &results, &landed);
    // A pair counts once a run carried it out.
    if (landed) pairs_drawn.insert(draw_plan(seed).pair);
    switch (verdict) {
      case 0: ++holds; break;
      case 1: ++breaks; break;
      default: ++rig; break;
    }
  }
  std::cout << "campaign: " << options.seeds.size() << " runs, " << holds << " held, " << breaks << " broke, " << rig
            << " could not run; pairs " << pairs_drawn.size() << "/" << pairs().size() << std::endl;
  return breaks || rig ? 1 : 0;
}

}  // namespace
}  // namespace pw::campaign

int main() {
  std::vector<std::string> args;
  int count = 0;
  if (LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) args.push_back(pw::e2e::utf8(argv[i]));
    ::LocalFree(argv);
  }
  return pw::campaign::main_with(args);
}
