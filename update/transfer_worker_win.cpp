#include "update/transfer_worker_win.h"

#include <process.h>

#include <new>

#include "device/pipe_library.h"
#include "update/bounded_read.h"
#include "update/sha256.h"
#include "update/update_folder.h"
#include "win/overlapped_pipe.h"
#include "win/wide_text.h"

namespace pw {

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

bool TransferWorker::move_on(WorkerStage from, WorkerStage to) noexcept {
  return stage_.compare_exchange_strong(from, to, std::memory_order_acq_rel);
}

bool TransferWorker::stop_unsent() noexcept {
  WorkerStage stage = stage_.load(std::memory_order_acquire);
  while (stage == WorkerStage::opening || stage == WorkerStage::loading) {
    if (stage_.compare_exchange_weak(stage, WorkerStage::stopped, std::memory_order_acq_rel)) {
      job_->request_stop();
      return true;
    }
  }
  return stage == WorkerStage::stopped;
}

unsigned __stdcall TransferWorker::thread_main(void* self) noexcept {
  auto& worker = *static_cast<TransferWorker*>(self);
  if (worker.file_ && !worker.open_and_load()) {
    worker.stage_.store(WorkerStage::ended, std::memory_order_release);
    worker.host_.ended();
    return 0;
  }
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
  if (!opened) {
    foreign_library_ = foreign_library_bitness(kPipeLibraryName);  // read here, off the window thread
    return refuse(SendRefusal::no_library), false;
  }
  UniqueHandle out_pipe(*opened);
  if (!out_pipe) return refuse(SendRefusal::pipe_refused), false;
  if (job.stop_requested.load(std::memory_order_acquire)) return refuse(SendRefusal::stopped), false;
  {
    std::unique_ptr<PipePort> pipe(new (std::nothrow) OverlappedPipe(std::move(out_pipe)));
    if (!pipe) return refuse(SendRefusal::out_of_memory), false;
    std::lock_guard<std::mutex> lock(job.pipe_mutex);
    job.out_pipe = std::move(pipe);
  }
  if (!move_on(WorkerStage::opening, WorkerStage::loading)) return refuse(SendRefusal::stopped), false;
  host_.loading();
  if (!load()) return false;
  // A stop asked during the load: nothing of the file has gone out. Past this
  // point a stop_unsent no longer stops it.
  if (job.stop_requested.load(std::memory_order_acquire) || !move_on(WorkerStage::loading, WorkerStage::sending))
    return refuse(SendRefusal::stopped), false;
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
                                  FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return refuse(SendRefusal::locked), false;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return refuse(SendRefusal::read_failed), false;
  if (size.QuadPart > 0xFFFFFFFFLL)  // counted in 32 bits: refused rather than truncated
    return refuse(SendRefusal::too_large), false;
  const DWORD file_size = static_cast<DWORD>(size.QuadPart);
  // Another size is another file: nothing to load.
  if (file_size != file_->size) return refuse(SendRefusal::changed), false;
  job.file.reset(new (std::nothrow) std::uint8_t[file_size ? file_size : 1]);
  if (!job.file) {
    refused_size_ = file_size;
    return refuse(SendRefusal::out_of_memory), false;
  }
  std::unique_ptr<OverlappedPipe> reads(new (std::nothrow) OverlappedPipe(file.get()));
  if (!reads) return refuse(SendRefusal::out_of_memory), false;
  Sha256 digest;
  ReadSlices slices;
  try {
    slices.buffer_at = [&job](std::uint64_t offset, std::uint32_t) { return job.file.get() + offset; };
    slices.read = [&digest](const std::uint8_t* data, std::uint32_t n) { digest.add(data, n); };
  } catch (const std::bad_alloc&) {
    return refuse(SendRefusal::out_of_memory), false;
  }
  SystemClock clock;
  switch (read_bounded(*reads, clock, file_size, slices, job.stop_requested)) {
    case ReadEnd::done: break;
    case ReadEnd::stopped: return refuse(SendRefusal::stopped), false;
    case ReadEnd::lost:
      // The system may still write into the buffer: kept for the rest of the process.
      keep_for_the_system(std::move(job.file));
      static_cast<void>(reads.release());
      return refuse(SendRefusal::read_failed), false;
    case ReadEnd::failed:
    case ReadEnd::stalled: return refuse(SendRefusal::read_failed), false;
  }
  reads.reset();
  const std::optional<Digest> loaded = digest.finish();
  if (!loaded) return refuse(SendRefusal::read_failed), false;
  // The file may have been replaced, cut or edited since the folder was read.
  FolderFile as_read;
  as_read.size = file_->size;
  as_read.sha256 = file_->sha256;
#ifndef PUSHWELL_MUTANT_LOADED_NOT_COMPARED  // a broken build the fault campaign must catch (tests only)
  if (!loaded_as_read(as_read, file_size, *loaded)) return refuse(SendRefusal::changed), false;
#endif
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
