#pragma once
// Sends an update file to the device: the 48-byte command header, then the
// payload in chunks, with every wait bounded so a dead pipe ends the transfer
// as failed instead of hanging it. Pure: the pipe, the clock and the window
// are reached through interfaces.
#include <atomic>
#include <cstdint>

#include "update/update_file.h"
#include "win/pipe_port.h"

namespace pw {

constexpr std::uint32_t kHeaderWaitMs = 15000;
constexpr std::uint32_t kChunkWaitMs = 30000;
constexpr std::uint32_t kHeaderRetryPauseMs = 10;
// How much of the header block the transfer keeps; only the first
// kCommandHeaderSize bytes of it are sent.
constexpr std::size_t kHeaderCopySize = 260;

enum class TransferOutcome : std::uint8_t { none, sent, failed };

// Written by the update sequence before a worker starts, then by the worker
// alone until it stores done = 1 (release); the sequence reads it after an
// acquire load of done.
struct TransferState {
  std::uint8_t* file_buffer = nullptr;  // malloc'd, the whole file; released by the worker
  std::uint32_t file_size = 0;          // whole file; the payload length once the worker has run
  std::atomic<std::uint32_t> bytes_sent{0};
  void* out_pipe = nullptr;  // the device's write pipe (a HANDLE); closed by the worker
  std::atomic<int> done{0};
  std::atomic<TransferOutcome> outcome{TransferOutcome::none};
};

// The window side of a transfer. Called from the worker thread; the real host
// forwards each call synchronously to the window thread.
class TransferHost {
 public:
  virtual ~TransferHost() = default;
  virtual void disable_update_button() = 0;
  virtual void set_progress(int position) = 0;  // 0..100, only when it changed
  virtual void set_result_text(bool succeeded) = 0;
  // Frees the file buffer (as malloc'd) and closes the pipe.
  virtual void release(std::uint8_t* file_buffer, void* out_pipe) = 0;
};

struct TransferTimeouts {
  std::uint32_t header_wait_ms = kHeaderWaitMs;  // bound of the header stage and of each header wait
  std::uint32_t chunk_wait_ms = kChunkWaitMs;    // each wait for a pending chunk
  std::uint32_t retry_pause_ms = kHeaderRetryPauseMs;
};

// Runs one transfer to its end: result text, release of buffer and pipe,
// outcome, and done = 1 stored last. When `abort_requested` is set (from
// another thread, together with cancelling the pipe's I/O) no further write is
// started and the transfer fails.
void run_transfer(TransferState& state, PipePort& pipe, TransferHost& host, Clock& clock,
                  const TransferTimeouts& timeouts = {}, const std::atomic<bool>* abort_requested = nullptr);

// Progress position for `sent` of `total` bytes, 0..100, in 64-bit arithmetic.
int progress_position(std::uint32_t sent, std::uint32_t total);

}  // namespace pw
