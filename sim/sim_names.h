#pragma once
// Names shared by the simulated device, its library and the test helpers.
// Plain char buffers, no C++ library: the device library uses this from DllMain.
#include <windows.h>

namespace pw {
namespace sim {

constexpr const char kDeviceEnvVar[] = "PUSHWELL_SIM_DEVICE";
constexpr const char kDefaultDevice[] = "sim0";
// Long enough for a test name plus a process id and a counter.
constexpr unsigned kMaxDeviceNameLength = 120;
constexpr unsigned kMaxObjectNameLength = 200;

// The first byte of an identification request on the out pipe.
constexpr unsigned char kIdentifyRequest = 0x40;

// Named objects of one device. Suffixes are fixed so that a name can never
// reach another device's objects.
enum class SimObject {
  out_pipe,
  in_pipe,
  control_pipe,
  plugged_event,
  refuse_load_event,
  refuse_out_pipe_event,
  missed_checks_semaphore,
  running_mutex,
  refuse_probe_event,
  slow_open_mapping,
  slow_open_release_event,
  hang_probe_mapping,
  hang_probe_release_event,
  out_pipe_opens_mapping
};

// What the slow-open mapping holds while it exists: how long opening the out
// pipe takes, whether it then fails, and from which open of the out pipe on
// (1: every one). Setting its release event ends a call held by it at once.
struct SlowOpen {
  DWORD delay_ms;
  DWORD fails;
  DWORD from_open;
};

// What the hang-probe mapping holds while it exists: how long open_dev does not
// return. Setting its release event ends a call held by it at once.
struct HangProbe {
  DWORD delay_ms;
};

// The out-pipe-opens mapping, while the device runs: a LONG the library
// increments at each open_file("PIPE00"), zeroed when the counters are reset.

// Letters, digits, '.', '_' and '-' only: the name becomes part of object and
// pipe names, where a backslash would change the namespace.
inline bool valid_device_name(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  unsigned n = 0;
  for (const char* p = name; *p; ++p, ++n) {
    const char c = *p;
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-';
    if (!ok || n >= kMaxDeviceNameLength) return false;
  }
  return true;
}

// Writes the object's full name into `out` (kMaxObjectNameLength bytes).
// False when the device name is not valid.
inline bool object_name(SimObject object, const char* device, char* out) {
  if (!valid_device_name(device)) return false;
  const char* prefix = "";
  const char* suffix = "";
  switch (object) {
    case SimObject::out_pipe: prefix = "\\\\.\\pipe\\pushwell-sim."; suffix = ".out"; break;
    case SimObject::in_pipe: prefix = "\\\\.\\pipe\\pushwell-sim."; suffix = ".in"; break;
    case SimObject::control_pipe: prefix = "\\\\.\\pipe\\pushwell-sim."; suffix = ".ctl"; break;
    case SimObject::plugged_event: prefix = "pushwell-sim."; suffix = ".plugged"; break;
    case SimObject::refuse_load_event: prefix = "pushwell-sim."; suffix = ".refuse-load"; break;
    case SimObject::refuse_out_pipe_event: prefix = "pushwell-sim."; suffix = ".refuse-out-pipe"; break;
    case SimObject::missed_checks_semaphore: prefix = "pushwell-sim."; suffix = ".missed-checks"; break;
    case SimObject::running_mutex: prefix = "pushwell-sim."; suffix = ".running"; break;
    case SimObject::refuse_probe_event: prefix = "pushwell-sim."; suffix = ".refuse-probe"; break;
    case SimObject::slow_open_mapping: prefix = "pushwell-sim."; suffix = ".slow-open"; break;
    case SimObject::slow_open_release_event: prefix = "pushwell-sim."; suffix = ".slow-open-release"; break;
    case SimObject::hang_probe_mapping: prefix = "pushwell-sim."; suffix = ".hang-probe"; break;
    case SimObject::hang_probe_release_event: prefix = "pushwell-sim."; suffix = ".hang-probe-release"; break;
    case SimObject::out_pipe_opens_mapping: prefix = "pushwell-sim."; suffix = ".out-pipe-opens"; break;
  }
  const char* const parts[] = {prefix, device, suffix};
  unsigned n = 0;
  for (const char* part : parts) {
    for (const char* p = part; *p; ++p) {
      if (n + 1 >= kMaxObjectNameLength) return false;
      out[n++] = *p;
    }
  }
  out[n] = '\0';
  return true;
}

// The device this process talks to: PUSHWELL_SIM_DEVICE, or "sim0" when unset
// or empty. `out` takes kMaxDeviceNameLength + 1 bytes. False when the variable
// holds an invalid name (the caller then has no device).
inline bool device_from_environment(char* out) {
  const DWORD n = ::GetEnvironmentVariableA(kDeviceEnvVar, out, kMaxDeviceNameLength + 1);
  if (n == 0) {
    for (unsigned i = 0; i < sizeof kDefaultDevice; ++i) out[i] = kDefaultDevice[i];
    return true;
  }
  if (n > kMaxDeviceNameLength) return false;
  return valid_device_name(out);
}

}  // namespace sim
}  // namespace pw
