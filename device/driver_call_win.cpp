#include "device/driver_call.h"

#include <atomic>
#include <new>
#include <optional>
#include <utility>

#include "device/pipe_library.h"
#include "win/system_info.h"

namespace pw {

namespace {

// Abandoned calls whose threads have not ended. Trivially destroyed, so a
// thread that ends during the process's exit still finds it.
std::atomic<int> g_abandoned_running{0};

// A late pipe nobody waits for any more is closed on the call's own thread.
void discard_late(DriverOutcome& late) { late.handle.reset(); }

DriverOutcome call_library(bool probe, const std::string& pipe_name) {
  DriverOutcome outcome;
  std::optional<PipeLibrary> library;
  try {
    library = PipeLibrary::load();
    if (!library) {
      outcome.result = DriverCallResult::no_library;
      outcome.binding.foreign = foreign_library_bitness(kPipeLibraryName);
    }
  } catch (const std::bad_alloc&) {
    return outcome;  // the library is not called: out_of_memory
  }
  if (!library) return outcome;
  outcome.binding.open_dev_export = library->open_dev_export();
  outcome.binding.open_file_export = library->open_file_export();
  try {
    outcome.binding.path = library->path();
    outcome.binding.version = file_version(outcome.binding.path);
  } catch (const std::bad_alloc&) {
    // Only the record misses it.
  }
  if (probe) {
    // A probe's handle only tells that the device is there.
    outcome.result = UniqueHandle(library->open_dev()) ? DriverCallResult::found : DriverCallResult::not_found;
  } else {
    outcome.handle.reset(library->open_file(pipe_name.c_str()));
    outcome.result = outcome.handle ? DriverCallResult::opened : DriverCallResult::open_failed;
  }
  return outcome;  // the library is freed here, before the caller hears of it
}

}  // namespace

DriverCall DriverCall::probe(HWND notify, UINT message) noexcept { return start(true, "", notify, message); }

DriverCall DriverCall::open(const char* pipe_name, HWND notify, UINT message) noexcept {
  return start(false, pipe_name, notify, message);
}

DriverCall DriverCall::start(bool probe, const char* pipe_name, HWND notify, UINT message) noexcept {
  DriverCall call;
  try {
    const std::string name(pipe_name);
    call.call_ = PostedCall<DriverOutcome>::start(
        notify, message, [probe, name](const std::atomic<bool>&) { return call_library(probe, name); },
        &discard_late, &g_abandoned_running);
  } catch (const std::bad_alloc&) {
    call.failed_to_start_ = DriverCallResult::out_of_memory;
  }
  return call;
}

DriverCallResult DriverCall::wait(unsigned bound_ms) noexcept {
  if (!call_.started()) return failed_to_start_;
  if (!call_.wait(bound_ms)) abandon();
  return result();  // a result that came just after the bound is kept
}

DriverCallResult DriverCall::result() const noexcept {
  if (!call_.started()) return failed_to_start_;
  if (call_.abandoned()) return DriverCallResult::timed_out;
  return late_result();
}

DriverCallResult DriverCall::late_result() const noexcept {
  if (!call_.started()) return failed_to_start_;
  DriverCallResult result = DriverCallResult::running;
  call_.read([&](const std::optional<DriverOutcome>& outcome) {
    if (call_.returned()) result = outcome ? outcome->result : DriverCallResult::out_of_memory;
  });
  return result;
}

void DriverCall::abandon() noexcept {
  // One that has returned keeps its result.
  if (call_.started() && !call_.returned()) call_.abandon();
}

UniqueHandle DriverCall::take_handle() noexcept {
  UniqueHandle handle;
  if (call_.abandoned()) return handle;
  call_.read([&](std::optional<DriverOutcome>& outcome) {
    if (outcome) handle = std::move(outcome->handle);
  });
  return handle;
}

DriverBinding DriverCall::binding() const {
  DriverBinding binding;
  call_.read([&](const std::optional<DriverOutcome>& outcome) {
    if (outcome) binding = outcome->binding;
  });
  return binding;
}

bool abandoned_driver_call_running() noexcept { return g_abandoned_running.load() > 0; }

}  // namespace pw
