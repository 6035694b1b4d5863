// A file read that stops making progress ends as stalled after the bound, a slow
// one that keeps making progress is read whole, and a stop ends it within a poll.
#include "update/bounded_read.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using pw::IoOutcome;
using pw::ReadEnd;

// Time moves only as the reader waits.
class FakeClock final : public pw::Clock {
 public:
  std::uint64_t now_ms() override { return now; }
  void sleep_ms(std::uint32_t ms) override { now += ms; }
  std::uint64_t now = 0;
};

// A file whose reads go pending and complete after `pending_ms` each; from read
// number `stuck_from` on, they never complete.
class SlowFile final : public pw::FileReads {
 public:
  SlowFile(FakeClock& clock, std::vector<std::uint8_t> bytes) : clock_(clock), bytes_(std::move(bytes)) {}
  IoOutcome start_read_at(std::uint64_t offset, std::uint8_t* data, std::uint32_t size) override {
    ++reads;
    into_ = data;
    offset_ = offset;
    size_ = size;
    waited_ = 0;
    return IoOutcome::pending();
  }
  IoOutcome wait(std::uint32_t timeout_ms) override {
    clock_.sleep_ms(timeout_ms);
    waited_ += timeout_ms;
    if (reads >= stuck_from || waited_ < pending_ms) return IoOutcome::timed_out(0);
    std::memcpy(into_, bytes_.data() + offset_, size_);
    return IoOutcome::done(size_);
  }
  std::uint32_t cancel() override {
    ++cancels;
    return 0;
  }
  bool operation_lost() const noexcept override { return false; }

  std::uint32_t pending_ms = 0;
  int stuck_from = 1 << 30;
  int reads = 0;
  int cancels = 0;

 private:
  FakeClock& clock_;
  std::vector<std::uint8_t> bytes_;
  std::uint8_t* into_ = nullptr;
  std::uint64_t offset_ = 0;
  std::uint32_t size_ = 0;
  std::uint32_t waited_ = 0;
};

struct Reading {
  std::vector<std::uint8_t> got;
  pw::ReadSlices slices;
  explicit Reading(std::size_t size) : got(size) {
    slices.buffer_at = [this](std::uint64_t offset, std::uint32_t) { return got.data() + offset; };
    slices.read = [](const std::uint8_t*, std::uint32_t) {};
  }
};

TEST(BoundedRead, AReadThatMakesNoProgressEndsAsStalledAfterTheBound) {
  FakeClock clock;
  std::vector<std::uint8_t> bytes(10, 7);
  SlowFile file(clock, bytes);
  file.pending_ms = 14000;  // slow, yet within the bound: read
  file.stuck_from = 3;
  Reading reading(bytes.size());
  const std::atomic<bool> stop{false};
  EXPECT_EQ(pw::read_bounded(file, clock, bytes.size(), reading.slices, stop, 4), ReadEnd::stalled);
  EXPECT_EQ(file.reads, 3) << "two slices read, the third never returned";
  EXPECT_EQ(file.cancels, 1) << "the stuck read is cancelled and waited for";
  EXPECT_GE(clock.now, 2 * 14000u + pw::kReadStallMs);
  EXPECT_LT(clock.now, 2 * 14000u + pw::kReadStallMs + 2 * pw::kReadPollMs) << "not a poll longer than the bound";

  SlowFile slow(clock, bytes);
  slow.pending_ms = 14000;
  Reading whole(bytes.size());
  EXPECT_EQ(pw::read_bounded(slow, clock, bytes.size(), whole.slices, stop, 4), ReadEnd::done);
  EXPECT_EQ(whole.got, bytes) << "each slice made progress in time";
}

TEST(BoundedRead, AStopEndsAStuckReadWithinAPoll) {
  FakeClock clock;
  SlowFile file(clock, std::vector<std::uint8_t>(10, 7));
  file.stuck_from = 1;
  Reading reading(10);
  std::atomic<bool> stop{false};
  int polls = 0;
  // The stop arrives from another thread in life; here, after the first poll.
  class StopAfterAPoll final : public pw::Clock {
   public:
    StopAfterAPoll(FakeClock& clock, std::atomic<bool>& stop, int& polls) : clock_(clock), stop_(stop), polls_(polls) {}
    std::uint64_t now_ms() override {
      if (++polls_ == 2) stop_.store(true);
      return clock_.now;
    }
    void sleep_ms(std::uint32_t) override {}

   private:
    FakeClock& clock_;
    std::atomic<bool>& stop_;
    int& polls_;
  } stopping(clock, stop, polls);
  EXPECT_EQ(pw::read_bounded(file, stopping, 10, reading.slices, stop), ReadEnd::stopped);
  EXPECT_EQ(file.cancels, 1);
  EXPECT_LE(clock.now, 3 * pw::kReadPollMs);
}

}  // namespace
