// devsim: the simulated USB device. Runs until a `stop` control command,
// Ctrl+C, or the end of the process given with --parent-pid.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/devsim/device.h"
#include "sim/devsim/settings.h"
#include "sim/sim_names.h"

namespace {

HANDLE g_stop_event = nullptr;

BOOL WINAPI on_console_event(DWORD) {
  ::SetEvent(g_stop_event);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pw::sim;
  std::vector<std::string> args(argv + 1, argv + argc);
  Settings settings;
  bool help = false;
  std::string error;
  if (!parse_command_line(args, &settings, &help, &error)) {
    std::fprintf(stderr, "devsim: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (settings.device.empty()) {
    char device[kMaxDeviceNameLength + 1];
    if (!device_from_environment(device)) {
      std::fprintf(stderr, "devsim: %s holds an invalid device name\n", kDeviceEnvVar);
      return 2;
    }
    settings.device = device;
  }
  if (!valid_device_name(settings.device.c_str())) {
    std::fprintf(stderr, "devsim: invalid device name '%s' (letters, digits, . _ - only)\n", settings.device.c_str());
    return 2;
  }

  pw::UniqueHandle stop_event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  g_stop_event = stop_event.get();
  ::SetConsoleCtrlHandler(on_console_event, TRUE);

  const std::string device_name = settings.device;
  Device device(std::move(settings));
  if (!device.start(&error)) {
    std::fprintf(stderr, "devsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("devsim ready device=%s\n", device_name.c_str());
  std::fflush(stdout);
  const int code = device.run(stop_event.get());
  ::SetConsoleCtrlHandler(on_console_event, FALSE);
  return code;
}
