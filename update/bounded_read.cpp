#include "update/bounded_read.h"

namespace pw {

ReadEnd read_bounded(FileReads& file, Clock& clock, std::uint64_t size, const ReadSlices& slices,
                     const std::atomic<bool>& stop, std::uint32_t slice_bytes, std::uint32_t stall_ms) {
  for (std::uint64_t done = 0; done < size;) {
    if (stop.load(std::memory_order_acquire)) return ReadEnd::stopped;
    const std::uint64_t left = size - done;
    const std::uint32_t want = left < slice_bytes ? static_cast<std::uint32_t>(left) : slice_bytes;
    std::uint8_t* const into = slices.buffer_at(done, want);
    IoOutcome outcome = file.start_read_at(done, into, want);
    const std::uint64_t started = clock.now_ms();
    while (outcome.status == IoStatus::pending) {
      outcome = file.wait(kReadPollMs);
      if (outcome.status != IoStatus::timed_out) break;
      const bool stopped = stop.load(std::memory_order_acquire);
      if (stopped || clock.now_ms() - started >= stall_ms) {
        file.cancel();
        if (file.operation_lost()) return ReadEnd::lost;
        return stopped ? ReadEnd::stopped : ReadEnd::stalled;
      }
      outcome.status = IoStatus::pending;
    }
    // Zero bytes before the end: the file was cut since its size was taken.
    if (!outcome.is_done() || outcome.bytes == 0 || outcome.bytes > want) return ReadEnd::failed;
    slices.read(into, outcome.bytes);
    done += outcome.bytes;
  }
  return ReadEnd::done;
}

}  // namespace pw
