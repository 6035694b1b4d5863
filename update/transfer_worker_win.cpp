#include "update/transfer_worker_win.h"

#include <process.h>

#include <new>

#include "device/pipe_library.h"
#include "update/sha256.h"
#include "win/overlapped_pipe.h"
#include "win/wide_text.h"

namespace pw {

namespace {
// How much of a file is read between two looks at a stop request.
constexpr DWORD kLoadSliceBytes = 1u << 20;
// A read that makes no progress this long (a stuck network share, a failing
// drive) is a read failure, never a hang; a stop is looked at this often.
constexpr ULONGLONG kReadStallMs = 15000;
constexpr DWORD kReadPollMs = 100;
constexpr DWORD kReadCancelWaitMs = 1000;

enum class SliceRead { done, failed, stopped, lost };

// Reads one slice at `offset` and waits for it, bounded. `lost`: a cancelled
// read that never ended; its buffer and record are the system's from then on.
SliceRead read_slice(HANDLE file, HANDLE event, OVERLAPPED& record, std::uint8_t* into, DWORD want,
                     std::uint64_t offset, DWORD& read, const std::atomic<bool>& stop) {
  record = OVERLAPPED{};
  record.hEvent = event;
  record.Offset = static_cast<DWORD>(offset);
  record.OffsetHigh = static_cast<DWORD>(offset >> 32);
  read = 0;
  if (::ReadFile(file, into, want, &read, &record)) return read > 0 ? SliceRead::done : SliceRead::failed;
  if (::GetLastError() != ERROR_IO_PENDING) return SliceRead::failed;
  const ULONGLONG deadline = ::GetTickCount64() + kReadStallMs;
  bool stopped = false;
  while (::WaitForSingleObject(event, kReadPollMs) == WAIT_TIMEOUT) {
    stopped = stop.load(std::memory_order_acquire);
    if (stopped || ::GetTickCount64() >= deadline) {
      ::CancelIoEx(file, &record);
      if (::WaitForSingleObject(event, kReadCancelWaitMs) != WAIT_OBJECT_0) return SliceRead::lost;
      break;
    }
  }
  if (!::GetOverlappedResult(file, &record, &read, FALSE) || read == 0)
    return stopped ? SliceRead::stopped : SliceRead::failed;
  return SliceRead::done;
}

}  // namespace

std::unique_ptr<TransferWorker> TransferWorker::start(FileToSend file, TransferHost& host,
                                                      const TransferTimeouts& timeouts) {
  std::unique_ptr<TransferJob> job(new (std::nothrow) TransferJob);
  if (!job) return nullptr;
  std::unique_ptr<TransferWorker> worker(new (std::nothrow) TransferWorker(std::move(job), host, timeouts));
  if (!worker) return nullptr;
  worker->file_.reset(new (std::nothrow) FileToSend(std::move(file)));
  if (!worker->file_) return nullptr;
  return launch(std::move(worker));
}

std::unique_ptr<TransferWorker> TransferWorker::start(std::unique_ptr<TransferJob> job, TransferHost& host,
                                                      const TransferTimeouts& timeouts) {
  std::unique_ptr<TransferWorker> worker(new (std::nothrow) TransferWorker(std::move(job), host, timeouts));
  if (!worker) return nullptr;
  worker->stage_.store(WorkerStage::sending, std::memory_order_release);
  return launch(std::move(worker));
}

std::unique_ptr<TransferWorker> TransferWorker::launch(std::unique_ptr<TransferWorker> worker) {
  const std::uintptr_t thread = ::_beginthreadex(nullptr, 0, &TransferWorker::thread_main, worker.get(), 0, nullptr);
  if (thread == 0) return nullptr;
  worker->thread_.reset(reinterpret_cast<HANDLE>(thread));
  return worker;
}

unsigned __stdcall TransferWorker::thread_main(void* self) noexcept {
  auto& worker = *static_cast<TransferWorker*>(self);
  if (worker.file_ && !worker.open_and_load()) {
    worker.stage_.store(WorkerStage::ended, std::memory_order_release);
    worker.host_.ended();
    return 0;
  }
  worker.stage_.store(WorkerStage::sending, std::memory_order_release);
  if (worker.file_) worker.host_.sending();
  SystemClock clock;
  run_transfer(*worker.job_, worker.host_, clock, worker.timeouts_);
  return 0;
}

void TransferWorker::refuse(SendRefusal why) noexcept {
  refusal_ = why;
  job_->file.reset();
  {
    std::lock_guard<std::mutex> lock(job_->pipe_mutex);
    job_->out_pipe.reset();
  }
  job_->outcome.store(TransferOutcome::failed, std::memory_order_relaxed);
  job_->done.store(1, std::memory_order_release);
}

bool TransferWorker::open_and_load() noexcept {
  TransferJob& job = *job_;
  std::optional<HANDLE> opened;
  try {
    opened = open_pipe_once(kOutPipeName);
  } catch (const std::bad_alloc&) {
    refused_size_ = 0;
    return refuse(SendRefusal::out_of_memory), false;
  }
  if (!opened) return refuse(SendRefusal::no_library), false;
  UniqueHandle out_pipe(*opened);
  if (!out_pipe) return refuse(SendRefusal::pipe_refused), false;
  if (job.stop_requested.load(std::memory_order_acquire)) return refuse(SendRefusal::stopped), false;
  {
    std::unique_ptr<PipePort> pipe(new (std::nothrow) OverlappedPipe(std::move(out_pipe)));
    if (!pipe) return refuse(SendRefusal::out_of_memory), false;
    std::lock_guard<std::mutex> lock(job.pipe_mutex);
    job.out_pipe = std::move(pipe);
  }
  stage_.store(WorkerStage::loading, std::memory_order_release);
  if (!load()) return false;
  // A stop asked during the load: nothing of the file has gone out.
  if (job.stop_requested.load(std::memory_order_acquire)) return refuse(SendRefusal::stopped), false;
  return true;
}

bool TransferWorker::load() noexcept {
  TransferJob& job = *job_;
  std::wstring path;
  try {
    path = widen(file_->path);
  } catch (const std::bad_alloc&) {
    return refuse(SendRefusal::out_of_memory), false;
  }
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr));
  if (!file) return refuse(SendRefusal::locked), false;
  UniqueHandle read_done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::unique_ptr<OVERLAPPED> record(new (std::nothrow) OVERLAPPED{});
  if (!read_done || !record) return refuse(SendRefusal::out_of_memory), false;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return refuse(SendRefusal::read_failed), false;
  if (size.QuadPart > 0xFFFFFFFFLL)  // counted in 32 bits: refused rather than truncated
    return refuse(SendRefusal::too_large), false;
  const DWORD file_size = static_cast<DWORD>(size.QuadPart);
  job.file.reset(new (std::nothrow) std::uint8_t[file_size ? file_size : 1]);
  if (!job.file) {
    refused_size_ = file_size;
    return refuse(SendRefusal::out_of_memory), false;
  }
  Sha256 digest;
  for (DWORD done = 0; done < file_size;) {
    if (job.stop_requested.load(std::memory_order_acquire)) return refuse(SendRefusal::stopped), false;
    const DWORD want = file_size - done < kLoadSliceBytes ? file_size - done : kLoadSliceBytes;
    DWORD read = 0;
    switch (read_slice(file.get(), read_done.get(), *record, job.file.get() + done, want, done, read,
                       job.stop_requested)) {
      case SliceRead::done: break;
      case SliceRead::stopped: return refuse(SendRefusal::stopped), false;
      case SliceRead::lost:
        // The system may still write into them: kept for the rest of the process.
        keep_for_the_system(std::move(job.file));
        static_cast<void>(record.release());
        static_cast<void>(read_done.release());
        return refuse(SendRefusal::read_failed), false;
      case SliceRead::failed: return refuse(SendRefusal::read_failed), false;
    }
    digest.add(job.file.get() + done, read);
    done += read;
  }
  const std::optional<Digest> loaded = digest.finish();
  if (!loaded) return refuse(SendRefusal::read_failed), false;
  // The file may have been replaced, cut or edited since its header was checked,
  // or since the folder was checked against its signed list.
  if (check_update_header(job.file.get(), file_size) != HeaderVerdict::send ||
      !same_header_block(file_->header, file_->header_size, job.file.get(), file_size) ||
      (file_->listed_sha256 && *file_->listed_sha256 != *loaded))
    return refuse(SendRefusal::changed), false;
  try {
    sha256_ = to_hex(*loaded);
  } catch (const std::bad_alloc&) {
    return refuse(SendRefusal::out_of_memory), false;
  }
  job.file_size = file_size;
  loaded_size_ = file_size;
  return true;
}

}  // namespace pw
