#pragma once
// A scripted PipePort and an instant Clock for the pure pipe algorithms.
// Every start_* and wait takes the next scripted step (or the default when the
// script has run out); every byte a write really moved is recorded in order.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "win/pipe_port.h"

namespace fake {

class Clock final : public pw::Clock {
 public:
  std::uint64_t now_ms() override { return now; }
  void sleep_ms(std::uint32_t ms) override {
    now += ms;
    ++sleeps;
  }
  std::uint64_t now = 5'000'000;
  int sleeps = 0;
};

// One scripted answer. `outcome.bytes == kAll` means everything asked for (for a
// read: all of `fill`). A completing read copies `fill` into the caller's
// buffer whatever count it reports, so stale-buffer cases can be staged.
struct Step {
  pw::IoOutcome outcome;
  std::vector<std::uint8_t> fill = {};
};

constexpr std::uint32_t kAll = 0xFFFFFFFFu;
inline Step done_all() { return {pw::IoOutcome::done(kAll)}; }
inline Step done(std::uint32_t n) { return {pw::IoOutcome::done(n)}; }
inline Step pending() { return {pw::IoOutcome::pending()}; }
inline Step failed(std::uint32_t err = 109) { return {pw::IoOutcome::failed(err)}; }
inline Step timed_out() { return {pw::IoOutcome::timed_out(0)}; }
inline Step reply(std::vector<std::uint8_t> bytes, std::uint32_t count = kAll) {
  return {pw::IoOutcome::done(count), std::move(bytes)};
}

class Pipe final : public pw::PipePort {
 public:
  // Scripts, consumed front first.
  std::deque<Step> starts;              // answers to start_write / start_read
  std::deque<Step> waits;               // answers to wait
  std::deque<std::uint32_t> cancels;    // bytes each cancelled operation moved (else 0)
  Step default_start = done_all();
  Step default_wait = done_all();
  // Answers wait when `waits` is empty, if set; may block (for thread tests).
  std::function<pw::IoOutcome(std::uint32_t)> wait_hook;
  // When set, a wait that runs out advances it by its timeout.
  Clock* clock = nullptr;

  // What happened.
  std::vector<std::uint8_t> written;
  std::vector<std::uint32_t> write_requests;  // size asked for by each start_write
  std::vector<std::uint32_t> wait_timeouts;
  int start_writes = 0;
  int start_reads = 0;
  int cancel_calls = 0;
  int contract_breaches = 0;  // start while pending, wait while idle
  std::atomic<int> waits_entered{0};
  std::atomic<bool> aborted{false};  // every later start fails, as on the real pipe
  bool cancels_never_end = false;
  const std::uint8_t* lost_buffer = nullptr;  // the buffer of the operation given up

  bool pending() const { return pending_; }

  pw::IoOutcome start_write(const std::uint8_t* data, std::uint32_t size) override {
    ++start_writes;
    write_requests.push_back(size);
    return start(const_cast<std::uint8_t*>(data), size, true);
  }
  pw::IoOutcome start_read(std::uint8_t* data, std::uint32_t size) override {
    ++start_reads;
    return start(data, size, false);
  }
  pw::IoOutcome wait(std::uint32_t timeout_ms) override {
    waits_entered.fetch_add(1);
    wait_timeouts.push_back(timeout_ms);
    if (!pending_) {
      ++contract_breaches;
      return pw::IoOutcome::failed(1);
    }
    Step step;
    if (!waits.empty()) {
      step = take(waits);
    } else if (wait_hook) {
      step.outcome = wait_hook(timeout_ms);
    } else {
      step = default_wait;
    }
    switch (step.outcome.status) {
      case pw::IoStatus::done:
        pending_ = false;
        return pw::IoOutcome::done(complete(step));
      case pw::IoStatus::timed_out:
        if (clock) clock->now += timeout_ms;
        return pw::IoOutcome::timed_out(0);
      case pw::IoStatus::pending:
        return step.outcome;
      case pw::IoStatus::failed:
        break;
    }
    pending_ = false;
    return step.outcome;
  }
  void abort_from_other_thread() noexcept override { aborted.store(true); }
  bool operation_lost() const noexcept override { return lost_; }
  std::uint32_t cancel() override {
    ++cancel_calls;
    if (!pending_) return 0;
    pending_ = false;
    if (cancels_never_end) {
      // As a driver that never completes a cancelled request: given up.
      lost_ = true;
      lost_buffer = data_;
      return 0;
    }
    const std::uint32_t moved = std::min(cancels.empty() ? 0u : take(cancels), size_);
    if (writing_) written.insert(written.end(), data_, data_ + moved);
    return moved;
  }

 private:
  template <class T>
  static T take(std::deque<T>& q) {
    T v = std::move(q.front());
    q.pop_front();
    return v;
  }

  pw::IoOutcome start(std::uint8_t* data, std::uint32_t size, bool writing) {
    if (pending_) ++contract_breaches;
    data_ = data;
    size_ = size;
    writing_ = writing;
    if (aborted.load() || lost_) return pw::IoOutcome::failed(995);
    const Step step = starts.empty() ? default_start : take(starts);
    if (step.outcome.status == pw::IoStatus::pending) pending_ = true;
    if (step.outcome.status != pw::IoStatus::done) return step.outcome;
    return pw::IoOutcome::done(complete(step));
  }

  // Moves the bytes of a completing operation; returns its count.
  std::uint32_t complete(const Step& step) {
    const std::uint32_t asked = step.outcome.bytes;
    if (writing_) {
      const std::uint32_t n = std::min(asked, size_);
      written.insert(written.end(), data_, data_ + n);
      return n;
    }
    const auto fill = static_cast<std::uint32_t>(std::min<std::size_t>(step.fill.size(), size_));
    std::copy(step.fill.begin(), step.fill.begin() + fill, data_);
    return asked == kAll ? fill : std::min(asked, size_);
  }

  bool pending_ = false;
  bool lost_ = false;
  bool writing_ = false;
  std::uint8_t* data_ = nullptr;
  std::uint32_t size_ = 0;
};

// Lends a pipe to an owner that closes it by destroying it (a TransferJob);
// `on_close` sees that moment. Every operation goes to the lent pipe.
class LentPipe final : public pw::PipePort {
 public:
  LentPipe(pw::PipePort& pipe, std::function<void()> on_close) : pipe_(pipe), on_close_(std::move(on_close)) {}
  ~LentPipe() override {
    if (on_close_) on_close_();
  }
  pw::IoOutcome start_write(const std::uint8_t* d, std::uint32_t n) override { return pipe_.start_write(d, n); }
  pw::IoOutcome start_read(std::uint8_t* d, std::uint32_t n) override { return pipe_.start_read(d, n); }
  pw::IoOutcome wait(std::uint32_t timeout_ms) override { return pipe_.wait(timeout_ms); }
  std::uint32_t cancel() override { return pipe_.cancel(); }
  void abort_from_other_thread() noexcept override { pipe_.abort_from_other_thread(); }
  bool operation_lost() const noexcept override { return pipe_.operation_lost(); }

 private:
  pw::PipePort& pipe_;
  std::function<void()> on_close_;
};

}  // namespace fake
