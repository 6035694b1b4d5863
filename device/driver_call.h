#pragma once
// One call into the vendor's pipe library on a thread of its own: load the
// library, call open_dev (a presence probe) or open_file (a pipe open), free the
// library. A driver that does not return then holds neither the window thread
// nor the end of the process. A call is never killed: one the caller stops
// waiting for is abandoned, keeps its state until its thread ends, and a handle
// it returns late is closed unused.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "device/image_bitness.h"
#include "win/handles.h"
#include "win/posted_call.h"

namespace pw {

enum class DriverCallResult {
  running,        // still inside the library
  found,          // probe: the device answered (its handle is closed at once)
  not_found,      // probe: no device
  opened,         // open: take_handle() holds the pipe
  open_failed,    // open: the library returned no handle
  no_library,     // the library could not be loaded (missing, wrong bitness, lacking its exports)
  out_of_memory,  // memory ran out before the library was called
  no_thread,      // no thread could be started for the call
  timed_out,      // the caller stopped waiting: the call is abandoned
};

// How the library was bound, known once a call has loaded it, and the facts that
// take reading files to learn, learnt on the call's thread.
struct DriverBinding {
  std::string path;                     // the library's full path ("" when unknown)
  std::string version;                  // its file version ("" when it carries none)
  const char* open_dev_export = "";     // the export names found
  const char* open_file_export = "";
  // When the library could not be loaded: the bitness of the one found, if it is
  // the other build's.
  ImageBitness foreign = ImageBitness::unknown;
};

// What one call brought back.
struct DriverOutcome {
  DriverCallResult result = DriverCallResult::out_of_memory;
  UniqueHandle handle;  // an opened pipe
  DriverBinding binding;
};

class DriverCall {
 public:
  // Starts a presence probe. With `notify`, `message` is posted to it when the
  // call ends (wParam: serial()); never after the call was abandoned.
  static DriverCall probe(HWND notify = nullptr, UINT message = 0) noexcept;
  // Starts opening `pipe_name` (kOutPipeName, kInPipeName), as probe().
  static DriverCall open(const char* pipe_name, HWND notify = nullptr, UINT message = 0) noexcept;

  DriverCall() noexcept = default;
  DriverCall(DriverCall&&) noexcept = default;
  DriverCall& operator=(DriverCall&&) noexcept = default;
  DriverCall(const DriverCall&) = delete;
  DriverCall& operator=(const DriverCall&) = delete;
  // Abandons a call still running.
  ~DriverCall() = default;

  // Waits up to `bound_ms` without serving messages. A call that has not
  // returned by then is abandoned: timed_out.
  DriverCallResult wait(unsigned bound_ms) noexcept;
  // Waits up to `bound_ms` without serving messages and without giving the call
  // up: whether it has returned.
  bool returned_within(unsigned bound_ms) const noexcept { return call_.wait(bound_ms); }
  // The result so far: running until the call returns, timed_out once abandoned.
  DriverCallResult result() const noexcept;
  // What the library returned, also for an abandoned call that returned late
  // (for the run's details): running until it has.
  DriverCallResult late_result() const noexcept;
  // Stops waiting for a call that has not returned; one that has keeps its result.
  void abandon() noexcept;
  // The pipe of an `opened` call, once; empty otherwise.
  UniqueHandle take_handle() noexcept;
  // How the library was bound; empty until the call has loaded it.
  DriverBinding binding() const;
  // Tells this call's posted message from a replaced one's.
  std::uint32_t serial() const noexcept { return call_.serial(); }

 private:
  static DriverCall start(bool probe, const char* pipe_name, HWND notify, UINT message) noexcept;

  PostedCall<DriverOutcome> call_;
  DriverCallResult failed_to_start_ = DriverCallResult::no_thread;  // when the call could not start
};

// Whether a call that was abandoned is still inside the library (or loading or
// freeing it): the device cannot be trusted with another call until it ends.
bool abandoned_driver_call_running() noexcept;

}  // namespace pw
