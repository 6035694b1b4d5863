// The transfer against a pipe whose every answer comes from the fuzz input:
// completions whole or short, pending writes, failures, waits that run out and
// cancels that moved part of a write, an abort at any point, and a clock that
// only moves when the transfer sleeps, waits or does I/O.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "tests/native/fake_pipe.h"
#include "update/transfer.h"

namespace {

using pw::IoOutcome;
using pw::TransferOutcome;

class FakeClock final : public pw::Clock {
 public:
  std::uint64_t now_ms() override { return now; }
  void sleep_ms(std::uint32_t ms) override {
    if (on_sleep) on_sleep(ms);
    now += ms;
  }
  std::uint64_t now = 1'000'000;
  void (*on_sleep)(std::uint32_t) = nullptr;
};

// What the device must receive: the command header, then the payload.
struct Expected {
  const std::uint8_t* file = nullptr;
  std::uint32_t payload = 0;
  std::uint8_t at(std::size_t stream_index) const {
    return stream_index < pw::kCommandHeaderSize ? file[stream_index]
                                                 : file[pw::kHeaderBlockSize + stream_index - pw::kCommandHeaderSize];
  }
  std::size_t size() const { return pw::kCommandHeaderSize + payload; }
};

class ScriptedPipe final : public pw::PipePort {
 public:
  ScriptedPipe(FuzzedDataProvider& in, FakeClock& clock, const Expected& expected, const pw::TransferTimeouts& t,
               pw::TransferJob& job, std::uint32_t abort_after_ops)
      : in_(in), clock_(clock), expected_(expected), timeouts_(t), job_(job), abort_after_(abort_after_ops) {}

  IoOutcome start_write(const std::uint8_t* data, std::uint32_t size) override {
    FUZZ_CHECK(!released);
    FUZZ_CHECK(!pending_);  // one operation at a time on the record
    FUZZ_CHECK(!aborted_);  // nothing new starts once stopped
    check_request(data, size);
    begin_op();
    data_ = data;
    size_ = size;
    IoOutcome r;
    switch (in_.ConsumeIntegralInRange<int>(0, 7)) {
      case 3:
        r = IoOutcome::done(take(in_.ConsumeIntegralInRange<std::uint32_t>(0, size)));
        break;
      case 4:
      case 5:
        pending_ = true;
        r = IoOutcome::pending();
        break;
      case 6:
        r = IoOutcome::failed(in_.ConsumeBool() ? 109 : 232);
        break;
      case 7:
        r = IoOutcome::done(0);  // completed without taking a byte
        break;
      default:
        r = IoOutcome::done(take(size));
        break;
    }
    end_op();
    return r;
  }

  void abort_from_other_thread() noexcept override { aborted_ = true; }

  IoOutcome start_read(std::uint8_t*, std::uint32_t) override {
    FUZZ_CHECK(!"a transfer never reads");
    return IoOutcome::failed(1);
  }

  IoOutcome wait(std::uint32_t timeout_ms) override {
    FUZZ_CHECK(!released);
    FUZZ_CHECK(pending_);
    FUZZ_CHECK(timeout_ms == (in_header() ? timeouts_.header_wait_ms : timeouts_.chunk_wait_ms));
    begin_op();
    IoOutcome r;
    switch (in_.ConsumeIntegralInRange<int>(0, 5)) {
      case 3:
        pending_ = false;
        r = IoOutcome::done(take(in_.ConsumeIntegralInRange<std::uint32_t>(0, size_)));
        break;
      case 4:
        pending_ = false;
        r = IoOutcome::failed(in_.ConsumeBool() ? 109 : 995);
        break;
      case 5:
        clock_.now += timeout_ms;
        // A write that runs out is repeated once at most: a dead pipe ends the
        // transfer within two waits per chunk.
        FUZZ_CHECK(++timeouts_in_unit_[unit()] <= 2);
        r = IoOutcome::timed_out(0);  // still in flight until cancelled
        break;
      default:
        pending_ = false;
        r = IoOutcome::done(take(size_));
        break;
    }
    end_op();
    return r;
  }

  std::uint32_t cancel() override {
    FUZZ_CHECK(!released);
    if (!pending_) return 0;
    begin_op();
    pending_ = false;
    const std::uint32_t moved = take(in_.ConsumeIntegralInRange<std::uint32_t>(0, size_));
    end_op();
    return moved;
  }

  bool pending() const { return pending_; }
  bool in_header() const { return written.size() < pw::kCommandHeaderSize; }
  // The write being made: 0 for the command header, 1 + n for payload chunk n.
  std::size_t unit() const {
    return in_header() ? 0 : 1 + (written.size() - pw::kCommandHeaderSize) / pw::kChunkSize;
  }
  std::uint32_t ops() const { return ops_; }

  std::vector<std::uint8_t> written;
  bool released = false;

 private:
  // Every write continues exactly where the bytes really moved end, and stays
  // inside one chunk of the payload, asking for all that is left of it.
  void check_request(const std::uint8_t* data, std::uint32_t size) {
    const std::size_t at = written.size();
    FUZZ_CHECK(at < expected_.size());
    if (in_header()) {
      FUZZ_CHECK(size == pw::kCommandHeaderSize - at);
      for (std::uint32_t i = 0; i < size; ++i) FUZZ_CHECK(data[i] == expected_.at(at + i));
      return;
    }
    const std::size_t offset = at - pw::kCommandHeaderSize;
    FUZZ_CHECK(data == expected_.file + pw::kHeaderBlockSize + offset);
    const std::size_t chunk_end =
        std::min<std::size_t>((offset / pw::kChunkSize + 1) * pw::kChunkSize, expected_.payload);
    FUZZ_CHECK(size == chunk_end - offset);
  }

  std::uint32_t take(std::uint32_t n) {
    FUZZ_CHECK(n <= size_);
    written.insert(written.end(), data_, data_ + n);
    return n;
  }

  void begin_op() {
    ++ops_;
    clock_.now += in_.ConsumeIntegralInRange<std::uint32_t>(0, 2);
  }
  void end_op() {
    // As a stop from the window thread would land between two pipe calls.
    if (abort_after_ != 0 && ops_ == abort_after_) job_.request_stop();
  }

  FuzzedDataProvider& in_;
  FakeClock& clock_;
  const Expected& expected_;
  const pw::TransferTimeouts& timeouts_;
  pw::TransferJob& job_;
  std::uint32_t abort_after_;
  bool aborted_ = false;
  std::uint32_t ops_ = 0;
  std::map<std::size_t, int> timeouts_in_unit_;
  bool pending_ = false;
  const std::uint8_t* data_ = nullptr;
  std::uint32_t size_ = 0;
};

class CheckingHost final : public pw::TransferHost {
 public:
  CheckingHost(pw::TransferJob& job, ScriptedPipe& pipe, std::uint32_t payload)
      : state_(job), pipe_(pipe), payload_(payload) {}

  void progressed(int position) noexcept override {
    ++calls_;
    still_running();
    FUZZ_CHECK(position >= 0 && position <= 100);
    FUZZ_CHECK(progress.empty() ? position > 0 : position > progress.back());  // only on a change, never back
    // Never ahead of the bytes that really left.
    const std::uint32_t sent = state_.bytes_sent.load();
    FUZZ_CHECK(pipe_.written.size() == pw::kCommandHeaderSize + sent);
    FUZZ_CHECK(position == static_cast<int>(static_cast<std::uint64_t>(sent) * 100u / payload_));
    progress.push_back(position);
  }
  // Last, once the outcome and done are stored.
  void ended() noexcept override {
    ++calls_;
    FUZZ_CHECK(results == 0 && releases == 1);
    FUZZ_CHECK(state_.done.load() == 1);
    ++results;
    result = state_.outcome.load() == TransferOutcome::sent;
  }
  // The job closes its pipe after the file's release.
  void pipe_closed() {
    ++calls_;
    still_running();
    FUZZ_CHECK(results == 0 && releases == 0);
    FUZZ_CHECK(state_.file == nullptr);
    FUZZ_CHECK(!pipe_.pending());  // a write in flight would still use the buffer
    ++releases;
    pipe_.released = true;
  }

  int results = 0;
  int releases = 0;
  bool result = false;
  std::vector<int> progress;

 private:
  // `done` is stored last: no host call may see it, nor an outcome.
  void still_running() const {
    FUZZ_CHECK(state_.done.load() == 0);
    FUZZ_CHECK(state_.outcome.load() == TransferOutcome::none);
  }

  pw::TransferJob& state_;
  ScriptedPipe& pipe_;
  std::uint32_t payload_;
  int calls_ = 0;
};

// Sleeps only come from the bounded retry of a header write that failed at once.
struct SleepWatch {
  static inline const ScriptedPipe* pipe = nullptr;
  static inline const FakeClock* clock = nullptr;
  static inline std::uint64_t stage_start = 0;
  static inline std::uint32_t bound = 0;
  static inline std::uint32_t pause = 0;
  static void on_sleep(std::uint32_t ms) {
    FUZZ_CHECK(pipe->in_header());
    FUZZ_CHECK(ms == pause);
    FUZZ_CHECK(clock->now - stage_start < bound);
  }
};

// The progress position for any counts: 0..100, never back as more is sent,
// full exactly when everything is, and exact in 64 bits.
void check_progress_position(std::uint32_t sent, std::uint32_t total) {
  const int p = pw::progress_position(sent, total);
  FUZZ_CHECK(p >= 0 && p <= 100);
  if (total == 0) {
    FUZZ_CHECK(p == 100);
    return;
  }
  if (sent < total) FUZZ_CHECK(p == static_cast<int>(static_cast<std::uint64_t>(sent) * 100u / total));
  FUZZ_CHECK((p == 100) == (sent >= total));
  if (sent < 0xFFFFFFFFu) FUZZ_CHECK(pw::progress_position(sent + 1, total) >= p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::uint32_t some_sent = in.ConsumeIntegral<std::uint32_t>();
  check_progress_position(some_sent, in.ConsumeIntegral<std::uint32_t>());

  pw::TransferTimeouts timeouts;
  timeouts.header_wait_ms = in.ConsumeIntegralInRange<std::uint32_t>(0, 20000);
  timeouts.chunk_wait_ms = in.ConsumeIntegralInRange<std::uint32_t>(0, 40000);
  timeouts.retry_pause_ms = in.ConsumeIntegralInRange<std::uint32_t>(0, 50);
  const std::uint32_t abort_after = in.ConsumeIntegralInRange<std::uint32_t>(0, 4000);

  // Mostly a sendable file of up to a few chunks; sometimes one around the
  // shortest size, or none at all.
  std::uint32_t file_size;
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 6:
      file_size = in.ConsumeIntegralInRange<std::uint32_t>(0, pw::kHeaderCheckSize + 8);
      break;
    case 7:
      file_size = 0;
      break;
    default:
      file_size = static_cast<std::uint32_t>(pw::kHeaderBlockSize) +
                  in.ConsumeIntegralInRange<std::uint32_t>(4, 6 * pw::kChunkSize + 9);
      break;
  }
  const bool no_buffer = file_size == 0 && in.ConsumeBool();
  auto* buffer = no_buffer ? nullptr : new std::uint8_t[file_size ? file_size : 1];
  for (std::uint32_t i = 0; buffer && i < file_size; ++i)
    buffer[i] = static_cast<std::uint8_t>(i * 131u + (i >> 8));
  // Bytes 48..1023 must never reach the pipe; a recognisable filler shows them.
  const std::uint32_t block_end = std::min<std::uint32_t>(file_size, pw::kHeaderBlockSize);
  for (std::uint32_t i = pw::kCommandHeaderSize; buffer && i < block_end; ++i) buffer[i] = 0xEE;

  const bool sendable = buffer != nullptr && file_size >= pw::kHeaderCheckSize;
  Expected expected;
  expected.file = buffer;
  expected.payload = sendable ? file_size - static_cast<std::uint32_t>(pw::kHeaderBlockSize) : 0;
  // Kept aside: the transfer frees the buffer.
  std::vector<std::uint8_t> stream;
  for (std::size_t i = 0; sendable && i < expected.size(); ++i) stream.push_back(expected.at(i));

  FakeClock clock;
  pw::TransferJob state;
  ScriptedPipe pipe(in, clock, expected, timeouts, state, abort_after);
  CheckingHost host(state, pipe, expected.payload ? expected.payload : 1);
  state.file.reset(buffer);
  state.file_size = file_size;
  state.out_pipe = std::make_unique<fake::LentPipe>(pipe, [&host] { host.pipe_closed(); });
  state.bytes_sent = 12345;  // stale from an earlier file

  SleepWatch::pipe = &pipe;
  SleepWatch::clock = &clock;
  SleepWatch::stage_start = clock.now;
  SleepWatch::bound = timeouts.header_wait_ms;
  SleepWatch::pause = timeouts.retry_pause_ms;
  clock.on_sleep = &SleepWatch::on_sleep;

  const std::size_t input_size = size;
  pw::run_transfer(state, host, clock, timeouts);

  // It ended, within a bounded number of pipe calls: each call either used input
  // or, once the input ran out, completed a whole write.
  const std::size_t chunks = expected.payload / pw::kChunkSize + 2;
  FUZZ_CHECK(pipe.ops() <= input_size + chunks + 4);

  FUZZ_CHECK(state.done.load() == 1);
  const TransferOutcome outcome = state.outcome.load();
  FUZZ_CHECK(outcome == TransferOutcome::sent || outcome == TransferOutcome::failed);
  const bool sent = outcome == TransferOutcome::sent;
  FUZZ_CHECK(host.results == 1 && host.releases == 1 && host.result == sent);
  FUZZ_CHECK(state.file == nullptr && state.out_pipe == nullptr);
  FUZZ_CHECK(!pipe.pending());

  // What left is always the start of the stream, in order, nothing twice.
  FUZZ_CHECK(pipe.written.size() <= stream.size());
  FUZZ_CHECK(std::equal(pipe.written.begin(), pipe.written.end(), stream.begin()));
  if (sent) {
    FUZZ_CHECK(sendable);
    FUZZ_CHECK(pipe.written.size() == stream.size());
    FUZZ_CHECK(state.bytes_sent.load() == expected.payload);
  } else {
    FUZZ_CHECK(pipe.written.size() <= file_size);
    FUZZ_CHECK(!sendable || pipe.written.size() < stream.size());
  }
  const std::uint32_t payload_written =
      pipe.written.size() > pw::kCommandHeaderSize
          ? static_cast<std::uint32_t>(pipe.written.size() - pw::kCommandHeaderSize)
          : 0u;
  FUZZ_CHECK(state.bytes_sent.load() == payload_written);

  // The bar ends full exactly when the file went.
  const bool ended_full = !host.progress.empty() && host.progress.back() == 100;
  FUZZ_CHECK(ended_full == sent);
  return 0;
}
