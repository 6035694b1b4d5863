// The simulated device's access library. The device process (devsim) owns the
// named objects; this library only looks them up, so it holds no state.
#include <windows.h>

#include "sim/sim_names.h"

namespace {

using pw::sim::SimObject;

// Waiting for a busy pipe: the host opens a second handle while another
// transfer still holds one, and the device needs a moment to offer a new instance.
constexpr DWORD kBusyWaitMs = 2000;

bool object_of_this_device(SimObject object, char* name) {
  char device[pw::sim::kMaxDeviceNameLength + 1];
  return pw::sim::device_from_environment(device) && pw::sim::object_name(object, device, name);
}

// Plugged means the device's event exists and is set. The set state matters: a
// host that kept an earlier handle keeps the object alive after an unplug.
HANDLE open_plugged_event() {
  char name[pw::sim::kMaxObjectNameLength];
  if (!object_of_this_device(SimObject::plugged_event, name)) return nullptr;
  HANDLE event = ::OpenEventA(SYNCHRONIZE, FALSE, name);
  if (event == nullptr) return nullptr;
  if (::WaitForSingleObject(event, 0) != WAIT_OBJECT_0) {
    ::CloseHandle(event);
    return nullptr;
  }
  return event;
}

bool is_pipe(const char* requested, const char* expected) {
  // Case-insensitive, as device paths are.
  for (; *requested && *expected; ++requested, ++expected) {
    char a = *requested;
    char b = *expected;
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (a != b) return false;
  }
  return *requested == '\0' && *expected == '\0';
}

// A switch of the device is on while devsim holds its named event.
bool switch_on(SimObject object) {
  char name[pw::sim::kMaxObjectNameLength];
  if (!object_of_this_device(object, name)) return false;
  HANDLE event = ::OpenEventA(SYNCHRONIZE, FALSE, name);
  if (event == nullptr) return false;
  ::CloseHandle(event);
  return true;
}

// devsim counts checks to miss in a semaphore; each miss takes one count.
bool take_missed_check() {
  char name[pw::sim::kMaxObjectNameLength];
  if (!object_of_this_device(SimObject::missed_checks_semaphore, name)) return false;
  HANDLE semaphore = ::OpenSemaphoreA(SYNCHRONIZE, FALSE, name);
  if (semaphore == nullptr) return false;
  const bool missed = ::WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0;
  ::CloseHandle(semaphore);
  return missed;
}

// Copies what devsim keeps in `object`'s mapping while it holds it.
bool read_mapping(SimObject object, void* out, DWORD size) {
  char name[pw::sim::kMaxObjectNameLength];
  if (!object_of_this_device(object, name)) return false;
  HANDLE mapping = ::OpenFileMappingA(FILE_MAP_READ, FALSE, name);
  if (mapping == nullptr) return false;
  const void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
  if (view != nullptr) {
    ::CopyMemory(out, view, size);
    ::UnmapViewOfFile(view);
  }
  ::CloseHandle(mapping);
  return view != nullptr;
}

// Holds the caller for `delay_ms`, or until devsim sets the release event (the
// fault turned off). True when it was released early.
bool hold_call(SimObject release_event, DWORD delay_ms) {
  char name[pw::sim::kMaxObjectNameLength];
  if (!object_of_this_device(release_event, name)) return false;
  HANDLE release = ::OpenEventA(SYNCHRONIZE, FALSE, name);
  if (release == nullptr) return true;  // turned off since the mapping was read
  const bool released = ::WaitForSingleObject(release, delay_ms) == WAIT_OBJECT_0;
  ::CloseHandle(release);
  return released;
}

// Which open of the out pipe this is since devsim started or reset its
// counters (1 for the first); 0 when the device does not count them.
LONG count_out_pipe_open() {
  char name[pw::sim::kMaxObjectNameLength];
  if (!object_of_this_device(SimObject::out_pipe_opens_mapping, name)) return 0;
  HANDLE mapping = ::OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
  if (mapping == nullptr) return 0;
  LONG n = 0;
  if (void* view = ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(LONG))) {
    n = ::InterlockedIncrement(static_cast<volatile LONG*>(view));
    ::UnmapViewOfFile(view);
  }
  ::CloseHandle(mapping);
  return n;
}

}  // namespace

// The shipped simulator exports undecorated __cdecl functions. Its variants
// (sim/variants/) build the same code as __stdcall, the other way vendors build
// such a library, and export it under decorated names.
#ifdef PUSHWELL_SIM_STDCALL
#define PUSHWELL_SIM_CALL __stdcall
#else
#define PUSHWELL_SIM_CALL __cdecl
#endif

extern "C" {

HANDLE PUSHWELL_SIM_CALL open_dev(void) {
  // A driver that does not return from the probe (hung in the kernel, say).
  pw::sim::HangProbe hang{};
  if (read_mapping(SimObject::hang_probe_mapping, &hang, sizeof hang))
    hold_call(SimObject::hang_probe_release_event, hang.delay_ms);
  // The device is there, but this check does not see it: a driver that refuses
  // the probe (while its pipe is busy, say), or one missed check.
  if (switch_on(SimObject::refuse_probe_event) || take_missed_check()) {
    ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE event = open_plugged_event();
  if (event == nullptr) {
    ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return INVALID_HANDLE_VALUE;
  }
  return event;
}

HANDLE PUSHWELL_SIM_CALL open_file(const char* pipe_name) {
  if (pipe_name == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  SimObject object;
  if (is_pipe(pipe_name, "PIPE00")) {
    object = SimObject::out_pipe;
    const LONG open = count_out_pipe_open();
    pw::sim::SlowOpen slow{};
    // A driver that takes its time over the open; turned off meanwhile, it opens as usual.
    if (read_mapping(SimObject::slow_open_mapping, &slow, sizeof slow) && open >= static_cast<LONG>(slow.from_open) &&
        !hold_call(SimObject::slow_open_release_event, slow.delay_ms) && slow.fails) {
      ::SetLastError(ERROR_BUSY);
      return INVALID_HANDLE_VALUE;
    }
    if (switch_on(SimObject::refuse_out_pipe_event)) {  // the device is there but will not open its out pipe
      ::SetLastError(ERROR_BUSY);
      return INVALID_HANDLE_VALUE;
    }
  } else if (is_pipe(pipe_name, "PIPE01")) {
    object = SimObject::in_pipe;
  } else {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE plugged = open_plugged_event();
  if (plugged == nullptr) {
    ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return INVALID_HANDLE_VALUE;
  }
  ::CloseHandle(plugged);

  char name[pw::sim::kMaxObjectNameLength];
  if (!object_of_this_device(object, name)) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const DWORD start = ::GetTickCount();
  for (;;) {
    HANDLE pipe = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    const DWORD error = ::GetLastError();
    const DWORD waited = ::GetTickCount() - start;
    if (error != ERROR_PIPE_BUSY || waited >= kBusyWaitMs) {
      ::SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    // WaitNamedPipe fails at once when the device has just closed every
    // instance; a short pause keeps this loop from spinning until the deadline.
    if (!::WaitNamedPipeA(name, kBusyWaitMs - waited)) ::Sleep(10);
  }
}

// Stand-ins that a variant exports under the names a loader must not prefer,
// so a test can tell which name it was bound through.
HANDLE PUSHWELL_SIM_CALL decoy_open_dev(void) {
  ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return INVALID_HANDLE_VALUE;
}

HANDLE PUSHWELL_SIM_CALL decoy_open_file(const char*) {
  ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return INVALID_HANDLE_VALUE;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  // A test takes the library away between two loads by asking the device to
  // hold the refuse-load object; no file has to be deleted under a running host.
  if (reason == DLL_PROCESS_ATTACH) return switch_on(SimObject::refuse_load_event) ? FALSE : TRUE;
  return TRUE;
}
