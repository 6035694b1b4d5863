#include "update/transfer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace pw {

namespace {

// How one stage writes: how long a pending write is waited for, and whether a
// write that fails at once (no byte has left) may be tried again, until when.
struct WritePolicy {
  std::uint32_t wait_ms = 0;
  bool retry_failed_start = false;
  std::uint64_t stage_start_ms = 0;
  std::uint32_t retry_bound_ms = 0;
  std::uint32_t retry_pause_ms = 0;
};

class Writer {
 public:
  Writer(PipePort& pipe, Clock& clock, const std::atomic<bool>* abort_requested, TransferJob& job)
      : pipe_(pipe), clock_(clock), abort_(abort_requested), job_(job) {}

  // Writes data[0, size) completely. A short completion continues with the
  // rest; a wait that runs out cancels (counting what the cancelled write
  // moved) and repeats the rest once. `took(n)` hears of every byte taken.
  // `stream_offset` is where data[0] lies in what the device receives.
  template <class OnTaken>
  bool write_all(const std::uint8_t* data, std::uint32_t size, std::uint32_t stream_offset, const WritePolicy& policy,
                 OnTaken&& took) {
    std::uint32_t offset = 0;
    bool repeated = false;
    while (offset < size) {
      if (aborted()) return false;
      const std::uint32_t rest = size - offset;
      IoOutcome r = pipe_.start_write(data + offset, rest);
      if (r.status == IoStatus::pending) {
        r = pipe_.wait(policy.wait_ms);
        if (r.status == IoStatus::timed_out) {
          const std::uint32_t moved = std::min(pipe_.cancel(), rest);
          if (pipe_.operation_lost()) return false;  // its buffer is the system's now
          offset += moved;
          took(moved);
          if (offset == size) return true;
          if (repeated) return false;
          repeated = true;
          note_repeat(stream_offset + offset);
          continue;
        }
        if (r.status != IoStatus::done) {
          // A wait either completes, fails or runs out; anything else still
          // has the write in flight, which must end before its buffer goes.
          if (r.status == IoStatus::pending) pipe_.cancel();
          return false;
        }
      }
      if (r.status == IoStatus::done && r.bytes > 0) {
        const std::uint32_t n = std::min(r.bytes, rest);
        offset += n;
        took(n);
        continue;
      }
      // Failed at once, or completed without taking a byte: nothing has left,
      // so a retry cannot duplicate data. Only where allowed, and bounded.
      if (!policy.retry_failed_start || aborted()) return false;
      if (clock_.now_ms() - policy.stage_start_ms >= policy.retry_bound_ms) return false;
      clock_.sleep_ms(policy.retry_pause_ms);
    }
    return true;
  }

 private:
  void note_repeat(std::uint32_t at) {
    if (job_.repeats < TransferJob::kRepeatOffsetsKept) job_.repeat_offsets[job_.repeats] = at;
    ++job_.repeats;
  }
  bool aborted() const { return abort_ != nullptr && abort_->load(std::memory_order_acquire); }

  PipePort& pipe_;
  Clock& clock_;
  const std::atomic<bool>* abort_;
  TransferJob& job_;
};

}  // namespace

int progress_position(std::uint32_t sent, std::uint32_t total) {
  if (total == 0) return 100;
  const std::uint64_t pos = static_cast<std::uint64_t>(sent) * 100u / total;
  return static_cast<int>(std::min<std::uint64_t>(pos, 100u));
}

void TransferJob::request_stop() noexcept {
  stop_requested.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> lock(pipe_mutex);
  if (out_pipe) out_pipe->abort_from_other_thread();
}

void run_transfer(TransferJob& job, TransferHost& host, Clock& clock, const TransferTimeouts& timeouts) {
  job.done.store(0, std::memory_order_relaxed);
  job.outcome.store(TransferOutcome::none, std::memory_order_relaxed);
  job.bytes_sent.store(0, std::memory_order_relaxed);
  job.repeats = 0;

  bool ok = false;
  // On the heap, like the file: a write the system never gives back keeps it.
  std::unique_ptr<std::uint8_t[]> header(new (std::nothrow) std::uint8_t[kHeaderCopySize]);
  if (header && job.file && job.out_pipe && job.file_size >= kHeaderCheckSize) {
    std::memcpy(header.get(), job.file.get(), kHeaderCopySize);
    const std::uint8_t* const payload = job.file.get() + kHeaderBlockSize;
    const std::uint32_t payload_size = job.file_size - static_cast<std::uint32_t>(kHeaderBlockSize);

    Writer writer(*job.out_pipe, clock, &job.stop_requested, job);

    WritePolicy header_policy;
    header_policy.wait_ms = timeouts.header_wait_ms;
    header_policy.retry_failed_start = true;
    header_policy.stage_start_ms = clock.now_ms();
    header_policy.retry_bound_ms = timeouts.header_wait_ms;
    header_policy.retry_pause_ms = timeouts.retry_pause_ms;
    ok = writer.write_all(header.get(), static_cast<std::uint32_t>(kCommandHeaderSize), 0, header_policy,
                          [](std::uint32_t) {});

    WritePolicy chunk_policy;
    chunk_policy.wait_ms = timeouts.chunk_wait_ms;
    int shown = 0;
    std::uint32_t sent = 0;
    auto count = [&](std::uint32_t n) {
      sent += n;
      job.bytes_sent.store(sent, std::memory_order_relaxed);
      const int position = progress_position(sent, payload_size);
      if (position != shown) {
        shown = position;
        host.progressed(position);
      }
    };
    while (ok && sent < payload_size) {
      const std::uint32_t chunk = std::min(kChunkSize, payload_size - sent);
      ok = writer.write_all(payload + sent, chunk, static_cast<std::uint32_t>(kCommandHeaderSize) + sent, chunk_policy,
                            count);
    }
  }

  const bool lost = job.out_pipe && job.out_pipe->operation_lost();
  if (lost) {
    ok = false;
    keep_for_the_system(std::move(header));
    keep_for_the_system(std::move(job.file));
  }
  job.file.reset();
  {
    std::lock_guard<std::mutex> lock(job.pipe_mutex);
    job.out_pipe.reset();
  }
  job.outcome.store(ok ? TransferOutcome::sent : TransferOutcome::failed, std::memory_order_relaxed);
  // The command reads everything above after an acquire load of done.
  job.done.store(1, std::memory_order_release);
  host.ended();
}

}  // namespace pw
