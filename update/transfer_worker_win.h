#pragma once
// The transfer worker thread: runs one TransferJob to its end over the device's
// write pipe, reporting through a TransferHost that only posts.
#include <memory>

#include "update/transfer.h"
#include "win/handles.h"

namespace pw {

class TransferWorker {
 public:
  // Starts a thread that owns `job` until it has ended. `host` must outlive
  // the thread. Empty when no thread could be made; the job is then released
  // (its pipe closed) with the attempt.
  static std::unique_ptr<TransferWorker> start(std::unique_ptr<TransferJob> job, TransferHost& host,
                                               const TransferTimeouts& timeouts = {});
  TransferWorker(const TransferWorker&) = delete;
  TransferWorker& operator=(const TransferWorker&) = delete;
  // Only once the thread has ended (see thread()).
  ~TransferWorker() = default;

  HANDLE thread() const noexcept { return thread_.get(); }
  bool done() const noexcept { return job_->done.load(std::memory_order_acquire) != 0; }
  // Read after the thread has ended, or after done() was seen true.
  TransferOutcome outcome() const noexcept { return job_->outcome.load(std::memory_order_acquire); }
  std::uint32_t bytes_sent() const noexcept { return job_->bytes_sent.load(std::memory_order_acquire); }
  // The job's counts (repeats, size), read only after the thread has ended.
  const TransferJob& job() const noexcept { return *job_; }
  // From any thread: the transfer stops writing and ends as failed soon.
  void request_stop() noexcept { job_->request_stop(); }

 private:
  TransferWorker(std::unique_ptr<TransferJob> job, TransferHost& host, const TransferTimeouts& timeouts) noexcept
      : job_(std::move(job)), host_(host), timeouts_(timeouts) {}
  static unsigned __stdcall thread_main(void* self) noexcept;

  std::unique_ptr<TransferJob> job_;
  TransferHost& host_;
  TransferTimeouts timeouts_;
  UniqueHandle thread_;
};

}  // namespace pw
