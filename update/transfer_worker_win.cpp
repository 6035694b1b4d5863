#include "update/transfer_worker_win.h"

#include <process.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "win/overlapped_pipe.h"

namespace pw {

namespace {

// The running worker's pipe, for cancel_transfer_io(). Guarded so the pipe
// cannot be closed while another thread is cancelling its I/O.
std::mutex g_active_mutex;
OverlappedPipe* g_active_pipe = nullptr;
std::atomic<bool> g_abort{false};

// Forwards to the caller's host, but first forgets the pipe it is about to close.
class WorkerHost final : public TransferHost {
 public:
  explicit WorkerHost(TransferHost& host) : host_(host) {}
  void disable_update_button() override { host_.disable_update_button(); }
  void set_progress(int position) override { host_.set_progress(position); }
  void set_result_text(bool succeeded) override { host_.set_result_text(succeeded); }
  void release(std::uint8_t* file_buffer, void* out_pipe) override {
    {
      std::lock_guard<std::mutex> lock(g_active_mutex);
      g_active_pipe = nullptr;
    }
    host_.release(file_buffer, out_pipe);
  }

 private:
  TransferHost& host_;
};

struct WorkerStart {
  TransferHost* host;
  TransferTimeouts timeouts;
};

unsigned __stdcall worker_main(void* param) {
  const std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(param));
  TransferState& state = transfer_state();
  OverlappedPipe pipe(static_cast<HANDLE>(state.out_pipe));
  {
    std::lock_guard<std::mutex> lock(g_active_mutex);
    g_active_pipe = &pipe;
  }
  // An abort that came before the pipe was registered found nothing to cancel.
  if (g_abort.load()) pipe.abort_from_other_thread();
  SystemClock clock;
  WorkerHost host(*start->host);
  run_transfer(state, pipe, host, clock, start->timeouts, &g_abort);
  {
    std::lock_guard<std::mutex> lock(g_active_mutex);
    g_active_pipe = nullptr;
  }
  return 0;
}

}  // namespace

TransferState& transfer_state() {
  static TransferState state;
  return state;
}

UniqueHandle start_transfer_worker(TransferHost& host, const TransferTimeouts& timeouts) {
  g_abort.store(false);
  auto* start = new WorkerStart{&host, timeouts};
  const std::uintptr_t thread = ::_beginthreadex(nullptr, 0, worker_main, start, 0, nullptr);
  if (thread == 0) {
    delete start;
    return UniqueHandle();
  }
  return UniqueHandle(reinterpret_cast<HANDLE>(thread));
}

void cancel_transfer_io() {
  g_abort.store(true);
  std::lock_guard<std::mutex> lock(g_active_mutex);
  if (g_active_pipe) g_active_pipe->abort_from_other_thread();
}

void release_transfer_resources(std::uint8_t* file_buffer, void* out_pipe) {
  std::free(file_buffer);
  if (UniqueHandle::is_valid(static_cast<HANDLE>(out_pipe))) ::CloseHandle(static_cast<HANDLE>(out_pipe));
}

}  // namespace pw
