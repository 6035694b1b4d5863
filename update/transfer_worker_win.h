#pragma once
// The transfer worker thread: for one update file it opens the device's write
// pipe, loads the whole file, checks it again, and only then sends it, reporting
// through a TransferHost that only posts. Nothing of a file is sent before all of
// it is loaded, so a read error never leaves a half-written device.
#include <windows.h>

#include <array>
#include <atomic>
#include <optional>
#include <cstdint>
#include <memory>
#include <string>

#include "device/image_bitness.h"
#include "update/sha256.h"
#include "update/transfer.h"
#include "update/update_file.h"
#include "win/handles.h"

namespace pw {

// A file as the update folder was read: only exactly those bytes are sent.
struct FileToSend {
  std::string path;
  std::uint64_t size = 0;
  Digest sha256{};
};

// Why a file was not sent before its first byte; none once sending began.
enum class SendRefusal : std::uint8_t {
  none,
  no_library,     // the pipe library could not be loaded for the pipe open
  pipe_refused,   // the library gave no out pipe
  locked,         // the file could not be opened
  read_failed,    // reading it failed
  too_large,      // 4 GiB or more
  changed,        // its bytes are no longer the ones the folder was read with
  out_of_memory,  // no room for its bytes (refused_size says how many)
  stopped,        // a stop was asked before the first byte
};

// Where the worker is; read from the window thread at any time. `stopped`: a
// stop came before the first byte (stop_unsent), and nothing of the file goes out.
enum class WorkerStage : std::uint8_t { opening, loading, sending, ended, stopped };

class TransferWorker {
 public:
  // Starts a thread that opens, loads and sends `file`. `host` must outlive the
  // thread. Empty when no thread could be made.
  static std::unique_ptr<TransferWorker> start(FileToSend file, TransferHost& host,
                                               const TransferTimeouts& timeouts = {});
  // Starts a thread that sends a job already loaded (its pipe open).
  static std::unique_ptr<TransferWorker> start(std::unique_ptr<TransferJob> job, TransferHost& host,
                                               const TransferTimeouts& timeouts = {});
  TransferWorker(const TransferWorker&) = delete;
  TransferWorker& operator=(const TransferWorker&) = delete;
  // Only once the thread has ended (see thread()), or never: a worker whose thread
  // did not end is kept for the rest of the process.
  ~TransferWorker() = default;

  HANDLE thread() const noexcept { return thread_.get(); }
  WorkerStage stage() const noexcept { return stage_.load(std::memory_order_acquire); }
  // Read after the thread has ended.
  TransferOutcome outcome() const noexcept { return job_->outcome.load(std::memory_order_acquire); }
  std::uint32_t bytes_sent() const noexcept { return job_->bytes_sent.load(std::memory_order_acquire); }
  SendRefusal refusal() const noexcept { return refusal_; }
  std::uint32_t refused_size() const noexcept { return refused_size_; }
  // For no_library: the bitness of the library found, when it is the other build's.
  ImageBitness foreign_library() const noexcept { return foreign_library_; }
  // The job's counts (repeats), read only after the thread has ended.
  const TransferJob& job() const noexcept { return *job_; }
  // Once sending began (the host's sending() event) and ever after: the loaded
  // file's size and the SHA-256 of its bytes as loaded.
  std::uint32_t file_size() const noexcept { return loaded_size_; }
  const std::string& sha256() const noexcept { return sha256_; }
  // From any thread: nothing more is sent, and the transfer ends as failed soon
  // (before its first byte: as stopped, nothing sent).
  void request_stop() noexcept { job_->request_stop(); }
  // From any thread: stops the worker only if it has not begun to send, so a
  // file is never cut; true when it was stopped so (it then sends nothing).
  bool stop_unsent() noexcept;
  // Waits up to `timeout_ms` for the thread to end.
  bool wait(DWORD timeout_ms) const noexcept { return ::WaitForSingleObject(thread_.get(), timeout_ms) == WAIT_OBJECT_0; }

 private:
  TransferWorker(std::unique_ptr<TransferJob> job, TransferHost& host, const TransferTimeouts& timeouts) noexcept
      : job_(std::move(job)), host_(host), timeouts_(timeouts) {}
  static std::unique_ptr<TransferWorker> launch(std::unique_ptr<TransferWorker> worker);
  static unsigned __stdcall thread_main(void* self) noexcept;
  // Opens the pipe and loads the file into the job; false with refusal_ set.
  bool open_and_load() noexcept;
  bool load() noexcept;
  // The next stage, unless a stop_unsent came first.
  bool move_on(WorkerStage from, WorkerStage to) noexcept;
  void refuse(SendRefusal why) noexcept;

  std::unique_ptr<TransferJob> job_;
  TransferHost& host_;
  TransferTimeouts timeouts_;
  std::unique_ptr<FileToSend> file_;  // empty: the job came loaded
  std::atomic<WorkerStage> stage_{WorkerStage::opening};
  SendRefusal refusal_ = SendRefusal::none;
  std::uint32_t refused_size_ = 0;
  ImageBitness foreign_library_ = ImageBitness::unknown;
  std::uint32_t loaded_size_ = 0;
  std::string sha256_;
  UniqueHandle thread_;
};

}  // namespace pw
