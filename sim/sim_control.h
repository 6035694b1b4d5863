#pragma once
// Test-side helpers for the simulated device: start and stop devsim.exe, send
// it control commands, read what it captured. Independent of the updater.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "win/handles.h"

namespace pw {
namespace sim {

// The device name this process uses: PUSHWELL_SIM_DEVICE, or "sim0".
std::string device_name();

// A device name no other test or process uses: `tag` (reduced to allowed
// characters) plus this process's id and a counter.
std::string unique_device_name(const std::string& tag);

// Sends one control command and waits for its one-line reply ("ok ..." or
// "error ..."). False when the device cannot be reached or does not answer in
// time; `reply` may be null.
bool send_command(const std::string& device, const std::string& command, std::string* reply = nullptr,
                  unsigned timeout_ms = 5000);

// Sends a command and expects "ok": true only then.
bool command_ok(const std::string& device, const std::string& command, std::string* reply = nullptr,
                unsigned timeout_ms = 5000);

struct Status {
  bool plugged = false;
  std::uint64_t bytes_received = 0;  // since start or the last reset
  std::uint64_t captured = 0;        // bytes written to the capture since start or `reset`
  int out_clients = 0;               // connected host handles on PIPE00
  int in_clients = 0;                // connected host handles on PIPE01
  int identify_requests = 0;
  // When bytes came, in machine_microseconds() (sim/machine_clock.h), since
  // start or the last reset; 0 before the first byte. One entry per out
  // connection, in the order their first bytes came (the first 16).
  std::int64_t first_byte_us = 0;
  std::int64_t last_byte_us = 0;
  std::vector<std::int64_t> connection_first_bytes_us;
  bool stalled = false;
  bool refuse_load = false;
  long out_pipe_opens = 0;  // open_file("PIPE00") calls since start or the last reset
};

bool query_status(const std::string& device, Status* out);

// Faults that hold a caller inside the library; nullopt turns one off, which
// also lets a call held now go on. open_dev does not return for `ms`:
bool set_hang_probe(const std::string& device, std::optional<unsigned> ms);
// open_file("PIPE00") takes `ms`, then fails when `fails`, from its
// `from_open`-th open on (counted since start or the last reset; 1: every one).
bool set_slow_open(const std::string& device, std::optional<unsigned> ms, bool fails = false,
                   unsigned from_open = 1);
// Parses the text of a `status` reply (with or without its leading "ok ").
bool parse_status(const std::string& reply, Status* out);

// Polls `condition` every `poll_ms` until it holds or `timeout_ms` have passed.
bool wait_until(const std::function<bool()>& condition, unsigned timeout_ms, unsigned poll_ms = 10);

// Runs `create_process` (one CreateProcess call, true on success); when it fails
// with ERROR_INTERNAL_ERROR, up to twice more, 100 ms apart. Wine answers so, rarely
// and on a loaded host, when the new process ended in its own start-up; a test must
// not fail on that. Any other error is final. Every failed try is said on stderr,
// and the last stays in `failure`.
bool create_process_tried(const std::function<bool()>& create_process, const std::string& what,
                          std::string* failure);

// Polls the device's status until `condition` holds for it.
bool wait_for_status(const std::string& device, const std::function<bool(const Status&)>& condition,
                     unsigned timeout_ms);

// Whole file, read while another process may still write it; empty when missing.
std::vector<std::uint8_t> read_file_bytes(const std::string& path);

// `file` in the folder of the running executable.
std::string path_beside_executable(const std::string& file);

// A fresh path in the temporary folder (the file is not created).
std::string temp_file_path(const std::string& tag);

// Sets an environment variable for this process and restores the old value
// (or its absence) at the end of the scope. Children inherit it.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const char* value);  // null value: unset
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  std::string old_value_;
  bool had_value_ = false;
};

// One line of the driver-installer stand-in's log.
struct InstallerRun {
  std::string exe;   // its full path
  std::string cwd;   // its current directory
  std::string args;  // its command line after the program name
};
std::vector<InstallerRun> read_installer_log(const std::string& path);

// Runs devsim.exe as a child for one test. It exits when this process does,
// and is stopped (politely, then by force) when this object ends.
class DevsimProcess {
 public:
  DevsimProcess() = default;
  ~DevsimProcess();
  DevsimProcess(DevsimProcess&& other) noexcept;
  DevsimProcess& operator=(DevsimProcess&& other) noexcept;
  DevsimProcess(const DevsimProcess&) = delete;
  DevsimProcess& operator=(const DevsimProcess&) = delete;

  // Starts `devsim_exe --device <device> <args...>`. Does not wait for readiness.
  bool start(const std::string& devsim_exe, const std::string& device, const std::vector<std::string>& args);
  // As above with the devsim.exe beside the running executable.
  bool start(const std::string& device, const std::vector<std::string>& args = {});
  // Polls the control pipe until the device answers; false when it exits first or time runs out.
  bool wait_ready(unsigned timeout_ms = 15000);
  // start() and wait_ready() together.
  bool launch(const std::string& device, const std::vector<std::string>& args = {}, unsigned timeout_ms = 15000);

  // Sends `stop`, waits for the exit, and terminates it if it does not go.
  void stop();
  bool running() const;
  // Waits for the process to end; false when it is still running after `timeout_ms`.
  bool wait_exit(unsigned timeout_ms);
  // The exit code once ended, or STILL_ACTIVE.
  DWORD exit_code() const;
  DWORD pid() const { return pid_; }
  const std::string& device() const { return device_; }

  // devsim's stdout and stderr go to this file (appended) instead of nowhere.
  // Call before start().
  void set_output_file(const std::string& path) { output_file_ = path; }

  // Control commands to this device.
  bool command(const std::string& command, std::string* reply = nullptr) const;
  bool status(Status* out) const;

  // Why the last start() or wait_ready() failed, for a test's failure message.
  const std::string& failure() const { return failure_; }

 private:
  UniqueHandle process_;
  DWORD pid_ = 0;
  std::string device_;
  std::string output_file_;
  std::string failure_;
};

// Windows command-line quoting of one argument (CommandLineToArgvW rules).
std::string quote_argument(const std::string& arg);

}  // namespace sim
}  // namespace pw
