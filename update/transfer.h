#pragma once
// Sends an update file to the device: the 48-byte command header, then the
// payload in chunks, with every wait bounded so a dead pipe ends the transfer
// as failed instead of hanging it. Pure: the pipe, the clock and the window
// are reached through interfaces.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

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

// One file's transfer: it owns the file's bytes and the device's write pipe
// until it has finished with them. Filled by the worker (or, in tests, before it
// starts), which alone touches it until it stores done = 1 (release); the
// command reads the outcome after the worker's end event.
struct TransferJob {
  std::unique_ptr<std::uint8_t[]> file;  // the whole file, header block included
  std::uint32_t file_size = 0;
  std::unique_ptr<PipePort> out_pipe;  // closes the pipe when it goes
  std::atomic<std::uint32_t> bytes_sent{0};  // payload bytes the pipe took
  std::atomic<int> done{0};  // set by the worker as the transfer ends
  std::atomic<TransferOutcome> outcome{TransferOutcome::none};
  // Each timed-out write cancelled and repeated, for the run's details: how many,
  // and the stream offsets (command header included) of the first few.
  static constexpr std::size_t kRepeatOffsetsKept = 8;
  std::uint32_t repeats = 0;
  std::uint32_t repeat_offsets[kRepeatOffsetsKept] = {};

  // From another thread: no further write starts, the one in flight is
  // cancelled, and the transfer fails.
  void request_stop() noexcept;
  std::atomic<bool> stop_requested{false};
  std::mutex pipe_mutex;  // a stop never reaches a pipe being closed
};

// Where a transfer reports. Called from the worker thread, which never waits for
// the front end: each call only posts to the front end's thread.
class TransferHost {
 public:
  virtual ~TransferHost() = default;
  // The pipe is open and the file is being loaded.
  virtual void loading() noexcept {}
  // The file is loaded whole and its first byte is about to go out.
  virtual void sending() noexcept {}
  virtual void progressed(int position) noexcept = 0;  // 0..100, only when it changed
  // The last touch of the job: done is 1 and the outcome readable.
  virtual void ended() noexcept = 0;
};

struct TransferTimeouts {
  std::uint32_t header_wait_ms = kHeaderWaitMs;  // bound of the header stage and of each header wait
  std::uint32_t chunk_wait_ms = kChunkWaitMs;    // each wait for a pending chunk
  std::uint32_t retry_pause_ms = kHeaderRetryPauseMs;
};

// Runs one transfer to its end, in this order: file released, pipe closed,
// outcome, done = 1, and then the host hears that it ended.
void run_transfer(TransferJob& job, TransferHost& host, Clock& clock, const TransferTimeouts& timeouts = {});

// Progress position for `sent` of `total` bytes, 0..100, in 64-bit arithmetic.
int progress_position(std::uint32_t sent, std::uint32_t total);

}  // namespace pw
