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
std::atomic<std::uint32_t> g_next_serial{1};

class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK& lock_;
};

}  // namespace

struct DriverCall::State {
  bool probe = true;
  char pipe_name[32] = {};
  HWND notify = nullptr;
  UINT message = 0;
  std::uint32_t serial = 0;
  UniqueHandle done;  // manual reset: set once the result is in
  // Shared between the caller and the call's thread: under `lock`.
  SRWLOCK lock = SRWLOCK_INIT;
  DriverCallResult result = DriverCallResult::running;
  UniqueHandle handle;
  DriverBinding binding;
  bool abandoned = false;  // only while `result` is running
};

DriverCall DriverCall::probe(HWND notify, UINT message) noexcept { return start(true, "", notify, message); }

DriverCall DriverCall::open(const char* pipe_name, HWND notify, UINT message) noexcept {
  return start(false, pipe_name, notify, message);
}

DriverCall DriverCall::start(bool probe, const char* pipe_name, HWND notify, UINT message) noexcept {
  DriverCall call;
  call.serial_ = g_next_serial.fetch_add(1);
  try {
    auto state = std::make_shared<State>();
    state->probe = probe;
    ::lstrcpynA(state->pipe_name, pipe_name, sizeof state->pipe_name);
    state->notify = notify;
    state->message = message;
    state->serial = call.serial_;
    state->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    call.failed_to_start_ = DriverCallResult::no_thread;
    if (!state->done) return call;
    auto* parameter = new std::shared_ptr<State>(state);
    HANDLE thread = ::CreateThread(nullptr, 0, &DriverCall::run, parameter, 0, nullptr);
    if (thread == nullptr) {
      delete parameter;
      return call;
    }
    // Never joined: nothing, the end of the process included, waits for a driver.
    ::CloseHandle(thread);
    call.state_ = std::move(state);
  } catch (const std::bad_alloc&) {
    call.failed_to_start_ = DriverCallResult::out_of_memory;
  }
  return call;
}

DWORD WINAPI DriverCall::run(void* parameter) noexcept {
  std::shared_ptr<State> state = std::move(*static_cast<std::shared_ptr<State>*>(parameter));
  delete static_cast<std::shared_ptr<State>*>(parameter);

  DriverCallResult result = DriverCallResult::out_of_memory;
  DriverBinding binding;
  UniqueHandle handle;
  std::optional<PipeLibrary> library;
  try {
    library = PipeLibrary::load();
    if (!library) {
      result = DriverCallResult::no_library;
      binding.foreign = foreign_library_bitness(kPipeLibraryName);
    }
  } catch (const std::bad_alloc&) {
    // The library is not called: out_of_memory.
  }
  if (library) {
    binding.open_dev_export = library->open_dev_export();
    binding.open_file_export = library->open_file_export();
    try {
      binding.path = library->path();
      binding.version = file_version(binding.path);
    } catch (const std::bad_alloc&) {
      // Only the record misses it.
    }
    if (state->probe) {
      // A probe's handle only tells that the device is there.
      result = UniqueHandle(library->open_dev()) ? DriverCallResult::found : DriverCallResult::not_found;
    } else {
      handle.reset(library->open_file(state->pipe_name));
      result = handle ? DriverCallResult::opened : DriverCallResult::open_failed;
    }
  }

  bool tell = false;
  {
    ExclusiveLock lock(state->lock);
    state->result = result;
    state->binding = std::move(binding);
    if (!state->abandoned) {
      state->handle = std::move(handle);
      tell = state->notify != nullptr;
    }
    ::SetEvent(state->done.get());
  }
  handle.reset();  // a late open's pipe, which nobody waits for any more
  if (tell) ::PostMessageW(state->notify, state->message, state->serial, 0);

  library.reset();  // frees the library: still inside it until then
  ExclusiveLock lock(state->lock);
  if (state->abandoned) g_abandoned_running.fetch_sub(1);
  return 0;
}

DriverCall& DriverCall::operator=(DriverCall&& other) noexcept {
  if (this != &other) {
    abandon();
    state_ = std::move(other.state_);
    failed_to_start_ = other.failed_to_start_;
    serial_ = other.serial_;
  }
  return *this;
}

DriverCall::~DriverCall() { abandon(); }

DriverCallResult DriverCall::wait(unsigned bound_ms) noexcept {
  if (!state_) return failed_to_start_;
  if (::WaitForSingleObject(state_->done.get(), bound_ms) != WAIT_OBJECT_0) abandon();
  return result();  // a result that came just after the bound is kept
}

bool DriverCall::returned_within(unsigned bound_ms) const noexcept {
  return state_ && ::WaitForSingleObject(state_->done.get(), bound_ms) == WAIT_OBJECT_0;
}

DriverCallResult DriverCall::result() const noexcept {
  if (!state_) return failed_to_start_;
  ExclusiveLock lock(state_->lock);
  return state_->abandoned ? DriverCallResult::timed_out : state_->result;
}

DriverCallResult DriverCall::late_result() const noexcept {
  if (!state_) return failed_to_start_;
  ExclusiveLock lock(state_->lock);
  return state_->result;
}

void DriverCall::abandon() noexcept {
  if (!state_) return;
  ExclusiveLock lock(state_->lock);
  // The thread sets the result before it ends, so an abandoned call's thread is still counted.
  if (state_->abandoned || state_->result != DriverCallResult::running) return;
  state_->abandoned = true;
  g_abandoned_running.fetch_add(1);
}

UniqueHandle DriverCall::take_handle() noexcept {
  if (!state_) return UniqueHandle();
  ExclusiveLock lock(state_->lock);
  return std::move(state_->handle);
}

DriverBinding DriverCall::binding() const {
  if (!state_) return DriverBinding();
  ExclusiveLock lock(state_->lock);
  return state_->binding;
}

bool abandoned_driver_call_running() noexcept { return g_abandoned_running.load() > 0; }

}  // namespace pw
