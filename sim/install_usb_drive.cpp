// Stand-in for the device maker's driver installer: records each start and,
// when asked to, plugs the simulated device as a finished install would.
//   PUSHWELL_SIM_INSTALLER_LOG       log file (default: InstallUsbDrive.log beside this program)
//   PUSHWELL_SIM_INSTALLER_PLUGS=1   send `plug` to the device named by PUSHWELL_SIM_DEVICE
//   PUSHWELL_SIM_INSTALLER_DELAY_MS  time the "install" takes before plugging and exiting
//   PUSHWELL_SIM_INSTALLER_EXIT_CODE exit code (default 0)
// Log line: exe=<full path>|cwd=<current directory>|args=<arguments>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "sim/sim_control.h"
#include "win/handles.h"

namespace {

std::string environment(const char* name) {
  char value[1024];
  const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

std::string module_path() {
  char path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::string(path, n) : std::string();
}

std::string current_directory() {
  char dir[MAX_PATH];
  const DWORD n = ::GetCurrentDirectoryA(MAX_PATH, dir);
  return n > 0 && n < MAX_PATH ? std::string(dir, n) : std::string();
}

// The command line after the program name, as the system passed it.
std::string arguments() {
  const char* p = ::GetCommandLineA();
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

bool append_line(const std::string& path, const std::string& line) {
  // One write per line on an append handle: concurrent starts never interleave.
  pw::UniqueHandle file(::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
         written == line.size();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::string exe = module_path();
  std::string log = environment("PUSHWELL_SIM_INSTALLER_LOG");
  if (log.empty()) {
    const std::size_t slash = exe.find_last_of("\\/");
    log = (slash == std::string::npos ? std::string() : exe.substr(0, slash + 1)) + "InstallUsbDrive.log";
  }
  if (!append_line(log, "exe=" + exe + "|cwd=" + current_directory() + "|args=" + arguments() + "\r\n")) return 3;

  const std::string delay = environment("PUSHWELL_SIM_INSTALLER_DELAY_MS");
  if (!delay.empty()) ::Sleep(static_cast<DWORD>(std::strtoul(delay.c_str(), nullptr, 10)));
  if (environment("PUSHWELL_SIM_INSTALLER_PLUGS") == "1") {
    const std::string device = pw::sim::device_name();
    if (device.empty() || !pw::sim::command_ok(device, "plug")) return 4;
  }
  const std::string code = environment("PUSHWELL_SIM_INSTALLER_EXIT_CODE");
  return code.empty() ? 0 : static_cast<int>(std::strtol(code.c_str(), nullptr, 10));
}
