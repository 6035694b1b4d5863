#include "device/identify_reader.h"

#include <cstring>
#include <memory>
#include <new>

namespace pw {

namespace {

enum class ReadEnd { replied, nothing, failed, timed_out, lost };

class Reader {
 public:
  Reader(PipePort& pipe, DeviceState& state, const std::atomic<bool>& stop)
      : pipe_(pipe), state_(state), stop_(stop) {}

  bool stop_requested() const { return stop_.load(std::memory_order_acquire); }

  // One read, waited for when pending. A timed-out read is cancelled, and has
  // ended, before this returns.
  ReadEnd read_once() {
    if (pipe_.operation_lost()) return ReadEnd::lost;
    if (!buffer_) return ReadEnd::failed;
    IoOutcome r = pipe_.start_read(buffer_.get(), kReplyReadLength);
    if (r.status == IoStatus::pending) {
      r = pipe_.wait(kIdentifyReadWaitMs);
      if (r.status == IoStatus::timed_out || r.status == IoStatus::pending) {
        pipe_.cancel();
        return pipe_.operation_lost() ? ReadEnd::lost : ReadEnd::timed_out;
      }
    }
    if (r.status != IoStatus::done) return ReadEnd::failed;
    if (r.bytes == 0) return ReadEnd::nothing;
    examine(r.bytes < kReplyReadLength ? r.bytes : kReplyReadLength);
    return ReadEnd::replied;
  }

 private:
  // Called only for a read that delivered bytes: a zero-byte completion leaves
  // whatever an earlier read put in the buffer.
  void examine(std::uint32_t size) {
    if (state_.reply_size.load(std::memory_order_relaxed) != 0) return;
    std::memcpy(state_.reply, buffer_.get(), size);
    state_.reply_size.store(size, std::memory_order_release);
    if (buffer_[0] == kExpectedReplyByte) state_.identified.store(true, std::memory_order_release);
  }

  PipePort& pipe_;
  DeviceState& state_;
  const std::atomic<bool>& stop_;
  // On the heap: a read the system never gives back keeps it.
  std::unique_ptr<std::uint8_t[]> buffer_{new (std::nothrow) std::uint8_t[kReplyReadLength]()};

 public:
  ~Reader() {
    if (pipe_.operation_lost()) keep_for_the_system(std::move(buffer_));
  }
};

}  // namespace

void run_identify_reader(PipePort& in_pipe, DeviceState& state, const std::atomic<bool>& stop_requested) {
  Reader reader(in_pipe, state, stop_requested);
  for (std::uint32_t pass = 0; pass < kReaderPassLimit; ++pass) {
    if (reader.stop_requested()) return;
    ReadEnd end = reader.read_once();
    if (end == ReadEnd::timed_out && !reader.stop_requested())
      end = reader.read_once();  // the one repeat; its outcome ends the pass either way
    // The first reply decides, whatever it says: the window stops waiting as
    // soon as the reader has ended.
    if (end == ReadEnd::replied || end == ReadEnd::lost || reader.stop_requested()) return;
  }
}

}  // namespace pw
