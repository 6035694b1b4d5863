#include "sim/sim_control.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "sim/sim_names.h"

namespace pw {
namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<unsigned> g_counter{0};

DWORD remaining_ms(Clock::time_point deadline) {
  const auto now = Clock::now();
  if (now >= deadline) return 0;
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1);
}

// One overlapped read or write, bounded by `deadline`. A timed-out operation is
// cancelled and waited for before its buffer goes away.
bool transfer(HANDLE pipe, bool write, void* data, DWORD size, DWORD* moved, DWORD* error,
              Clock::time_point deadline) {
  UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  BOOL ok = write ? ::WriteFile(pipe, data, size, nullptr, &ov) : ::ReadFile(pipe, data, size, nullptr, &ov);
  // ERROR_MORE_DATA: a message longer than the buffer; the part read is in the result.
  if (!ok && ::GetLastError() != ERROR_IO_PENDING && ::GetLastError() != ERROR_MORE_DATA) {
    *error = ::GetLastError();
    *moved = 0;
    return false;
  }
  if (::WaitForSingleObject(event.get(), remaining_ms(deadline)) != WAIT_OBJECT_0) ::CancelIoEx(pipe, &ov);
  ok = ::GetOverlappedResult(pipe, &ov, moved, TRUE);
  *error = ok ? 0 : ::GetLastError();
  return ok != FALSE;
}

std::string trim(const std::string& s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\r' || s[b] == '\n' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\r' || s[e - 1] == '\n' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

}  // namespace

std::string device_name() {
  char device[kMaxDeviceNameLength + 1];
  return device_from_environment(device) ? std::string(device) : std::string();
}

std::string unique_device_name(const std::string& tag) {
  std::string name;
  for (const char c : tag) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-';
    name.push_back(ok ? c : '_');
    if (name.size() >= 60) break;
  }
  if (name.empty()) name = "dev";
  return name + "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++g_counter);
}

bool send_command(const std::string& device, const std::string& command, std::string* reply, unsigned timeout_ms) {
  if (reply) reply->clear();
  char name[kMaxObjectNameLength];
  if (!object_name(SimObject::control_pipe, device.c_str(), name)) return false;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);

  UniqueHandle pipe;
  for (;;) {
    pipe.reset(::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                             nullptr));
    if (pipe) break;
    // Busy: every instance serves another client; the device adds one shortly.
    if (::GetLastError() != ERROR_PIPE_BUSY || remaining_ms(deadline) == 0) return false;
    if (!::WaitNamedPipeA(name, std::min<DWORD>(remaining_ms(deadline), 100))) ::Sleep(5);
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) return false;

  std::string message = command;
  DWORD moved = 0;
  DWORD error = 0;
  if (!transfer(pipe.get(), true, message.data(), static_cast<DWORD>(message.size()), &moved, &error, deadline) ||
      moved != message.size()) {
    return false;
  }
  std::string answer;
  char buffer[4096];
  for (;;) {
    const bool ok = transfer(pipe.get(), false, buffer, sizeof buffer, &moved, &error, deadline);
    if (!ok && error != ERROR_MORE_DATA) return false;
    answer.append(buffer, moved);
    if (ok) break;
  }
  if (reply) *reply = answer;
  return true;
}

bool command_ok(const std::string& device, const std::string& command, std::string* reply, unsigned timeout_ms) {
  std::string answer;
  const bool sent = send_command(device, command, &answer, timeout_ms);
  if (reply) *reply = answer;
  return sent && answer.compare(0, 2, "ok") == 0;
}

bool parse_status(const std::string& reply, Status* out) {
  std::istringstream in(reply);
  std::string word;
  Status s;
  int seen = 0;
  while (in >> word) {
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = word.substr(0, eq);
    const std::string value = word.substr(eq + 1);
    const auto number = [&]() { return std::strtoull(value.c_str(), nullptr, 10); };
    if (key == "plugged") {
      s.plugged = value == "1";
      ++seen;
    } else if (key == "received") {
      s.bytes_received = number();
      ++seen;
    } else if (key == "captured") {
      s.captured = number();
    } else if (key == "out_clients") {
      s.out_clients = static_cast<int>(number());
      ++seen;
    } else if (key == "in_clients") {
      s.in_clients = static_cast<int>(number());
      ++seen;
    } else if (key == "identify_requests") {
      s.identify_requests = static_cast<int>(number());
      ++seen;
    } else if (key == "first_byte_us") {
      s.first_byte_us = std::strtoll(value.c_str(), nullptr, 10);
    } else if (key == "last_byte_us") {
      s.last_byte_us = std::strtoll(value.c_str(), nullptr, 10);
    } else if (key == "connection_first_bytes_us") {
      std::istringstream list(value);
      for (std::string item; std::getline(list, item, ',');)
        if (item != "none") s.connection_first_bytes_us.push_back(std::strtoll(item.c_str(), nullptr, 10));
    } else if (key == "stalled") {
      s.stalled = value == "1";
    } else if (key == "refuse_load") {
      s.refuse_load = value == "1";
    } else if (key == "out_pipe_opens") {
      s.out_pipe_opens = static_cast<long>(number());
    }
  }
  if (seen < 5) return false;
  *out = s;
  return true;
}

bool query_status(const std::string& device, Status* out) {
  std::string reply;
  return command_ok(device, "status", &reply) && parse_status(reply, out);
}

bool set_hang_probe(const std::string& device, std::optional<unsigned> ms) {
  return command_ok(device, "hang-probe " + (ms ? std::to_string(*ms) : std::string("off")));
}

bool set_slow_open(const std::string& device, std::optional<unsigned> ms, bool fails, unsigned from_open) {
  if (!ms) return command_ok(device, "slow-open off");
  return command_ok(device, "slow-open " + std::to_string(*ms) + (fails ? " fail" : "") + " from " +
                                std::to_string(from_open));
}

bool wait_until(const std::function<bool()>& condition, unsigned timeout_ms, unsigned poll_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    ::Sleep(poll_ms);
  }
}

bool create_process_tried(const std::function<bool()>& create_process, const std::string& what,
                          std::string* failure) {
  constexpr int kTries = 3;
  for (int attempt = 1;; ++attempt) {
    if (create_process()) {
      failure->clear();
      return true;
    }
    const DWORD error = ::GetLastError();
    *failure = "CreateProcess failed (error " + std::to_string(error) + ") for " + what;
    if (error != ERROR_INTERNAL_ERROR) return false;
    std::fprintf(stderr, "%s (try %d of %d)\n", failure->c_str(), attempt, kTries);
    if (attempt == kTries) return false;
    ::Sleep(100);
  }
}

bool wait_for_status(const std::string& device, const std::function<bool(const Status&)>& condition,
                     unsigned timeout_ms) {
  return wait_until(
      [&] {
        Status s;
        return query_status(device, &s) && condition(s);
      },
      timeout_ms, 20);
}

std::vector<std::uint8_t> read_file_bytes(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return bytes;
  std::uint8_t buffer[65536];
  DWORD n = 0;
  while (::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  return bytes;
}

std::string path_beside_executable(const std::string& file) {
  char path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  std::string folder(path, n);
  const std::size_t slash = folder.find_last_of("\\/");
  folder.resize(slash == std::string::npos ? 0 : slash + 1);
  return folder + file;
}

std::string temp_file_path(const std::string& tag) {
  char folder[MAX_PATH];
  const DWORD n = ::GetTempPathA(MAX_PATH, folder);
  if (n == 0 || n >= MAX_PATH) return std::string();
  const std::string path = std::string(folder, n) + "pushwell-" + unique_device_name(tag) + ".tmp";
  ::DeleteFileA(path.c_str());  // a leftover of an earlier run with the same process id
  return path;
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name, const char* value) : name_(std::move(name)) {
  DWORD size = ::GetEnvironmentVariableA(name_.c_str(), nullptr, 0);
  if (size > 0) {
    std::string buffer(size, '\0');
    const DWORD n = ::GetEnvironmentVariableA(name_.c_str(), buffer.data(), size);
    if (n < size) {
      buffer.resize(n);
      old_value_ = buffer;
      had_value_ = true;
    }
  }
  ::SetEnvironmentVariableA(name_.c_str(), value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  ::SetEnvironmentVariableA(name_.c_str(), had_value_ ? old_value_.c_str() : nullptr);
}

std::vector<InstallerRun> read_installer_log(const std::string& path) {
  const std::vector<std::uint8_t> bytes = read_file_bytes(path);
  std::vector<InstallerRun> runs;
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    const std::size_t cwd = line.find("|cwd=");
    const std::size_t args = line.find("|args=", cwd == std::string::npos ? 0 : cwd);
    if (line.compare(0, 4, "exe=") != 0 || cwd == std::string::npos || args == std::string::npos) continue;
    InstallerRun run;
    run.exe = line.substr(4, cwd - 4);
    run.cwd = line.substr(cwd + 5, args - cwd - 5);
    run.args = line.substr(args + 6);
    runs.push_back(run);
  }
  return runs;
}

std::string quote_argument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');  // they precede the closing quote
  out.push_back('"');
  return out;
}

// --- DevsimProcess ---------------------------------------------------------------

DevsimProcess::~DevsimProcess() { stop(); }

DevsimProcess::DevsimProcess(DevsimProcess&& other) noexcept
    : process_(std::move(other.process_)),
      pid_(std::exchange(other.pid_, 0)),
      device_(std::move(other.device_)),
      output_file_(std::move(other.output_file_)),
      failure_(std::move(other.failure_)) {}

DevsimProcess& DevsimProcess::operator=(DevsimProcess&& other) noexcept {
  if (this != &other) {
    stop();
    process_ = std::move(other.process_);
    pid_ = std::exchange(other.pid_, 0);
    device_ = std::move(other.device_);
    output_file_ = std::move(other.output_file_);
    failure_ = std::move(other.failure_);
  }
  return *this;
}

bool DevsimProcess::start(const std::string& devsim_exe, const std::string& device,
                          const std::vector<std::string>& args) {
  stop();
  device_ = device;
  std::string command_line = quote_argument(devsim_exe) + " --device " + quote_argument(device) +
                             " --parent-pid " + std::to_string(::GetCurrentProcessId());
  for (const std::string& arg : args) command_line += " " + quote_argument(arg);

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  UniqueHandle input(::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                   0, nullptr));
  UniqueHandle output;
  if (output_file_.empty()) {
    output.reset(::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr));
  } else {
    output.reset(::CreateFileA(output_file_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = input.get();
  si.hStdOutput = output.get();
  si.hStdError = output.get();
  PROCESS_INFORMATION pi{};
  const bool created = create_process_tried(
      [&] {
        return ::CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                &si, &pi) != 0;
      },
      devsim_exe, &failure_);
  if (!created) return false;
  ::CloseHandle(pi.hThread);
  process_.reset(pi.hProcess);
  pid_ = pi.dwProcessId;
  return true;
}

bool DevsimProcess::start(const std::string& device, const std::vector<std::string>& args) {
  return start(path_beside_executable("devsim.exe"), device, args);
}

bool DevsimProcess::wait_ready(unsigned timeout_ms) {
  if (!process_) return false;
  bool exited = false;
  const bool answered = wait_until(
      [&] {
        exited = !running();
        std::string reply;
        return exited || (send_command(device_, "ping", &reply, 1000) && reply == "ok pong");
      },
      timeout_ms, 20);
  if (exited) {
    failure_ = "devsim exited with code " + std::to_string(exit_code()) + " before it answered";
  } else if (!answered) {
    failure_ = "devsim did not answer within " + std::to_string(timeout_ms) + " ms";
  }
  return answered && !exited;
}

bool DevsimProcess::launch(const std::string& device, const std::vector<std::string>& args, unsigned timeout_ms) {
  return start(device, args) && wait_ready(timeout_ms);
}

void DevsimProcess::stop() {
  if (!process_) return;
  if (running()) {
    send_command(device_, "stop", nullptr, 2000);
    if (!wait_exit(5000)) {
      ::TerminateProcess(process_.get(), 1);
      wait_exit(5000);
    }
  }
  // The handle stays, so exit_code() still answers.
}

bool DevsimProcess::running() const {
  return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

bool DevsimProcess::wait_exit(unsigned timeout_ms) {
  return !process_ || ::WaitForSingleObject(process_.get(), timeout_ms) == WAIT_OBJECT_0;
}

DWORD DevsimProcess::exit_code() const {
  DWORD code = STILL_ACTIVE;
  if (process_) ::GetExitCodeProcess(process_.get(), &code);
  return code;
}

bool DevsimProcess::command(const std::string& command, std::string* reply) const {
  return command_ok(device_, command, reply);
}

bool DevsimProcess::status(Status* out) const { return query_status(device_, out); }

}  // namespace sim
}  // namespace pw
