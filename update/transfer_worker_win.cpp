#include "update/transfer_worker_win.h"

#include <process.h>

#include <new>

#include "win/overlapped_pipe.h"

namespace pw {

std::unique_ptr<TransferWorker> TransferWorker::start(std::unique_ptr<TransferJob> job, TransferHost& host,
                                                      const TransferTimeouts& timeouts) {
  std::unique_ptr<TransferWorker> worker(new (std::nothrow) TransferWorker(std::move(job), host, timeouts));
  if (!worker) return nullptr;
  const std::uintptr_t thread = ::_beginthreadex(nullptr, 0, &TransferWorker::thread_main, worker.get(), 0, nullptr);
  if (thread == 0) return nullptr;
  worker->thread_.reset(reinterpret_cast<HANDLE>(thread));
  return worker;
}

unsigned __stdcall TransferWorker::thread_main(void* self) noexcept {
  auto& worker = *static_cast<TransferWorker*>(self);
  SystemClock clock;
  run_transfer(*worker.job_, worker.host_, clock, worker.timeouts_);
  return 0;
}

}  // namespace pw
