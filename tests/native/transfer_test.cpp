#include "update/transfer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/fake_pipe.h"

namespace {

using pw::TransferOutcome;

class RecordingHost final : public pw::TransferHost {
 public:
  void progressed(int position) noexcept override {
    events.push_back("progress");
    progress_seen.push_back(position);
    if (on_progress) on_progress(position);
  }
  void ended() noexcept override { events.push_back("ended"); }

  std::vector<std::string> events;
  std::vector<int> progress_seen;
  std::function<void(int)> on_progress;
};

class Transfer : public ::testing::Test {
 protected:
  // A sent file: a recognisable command header, a header tail the device must
  // never see, then `payload` bytes. The job gets its own copy and the pipe.
  void load(std::uint32_t payload) {
    const std::uint32_t size = static_cast<std::uint32_t>(pw::kHeaderBlockSize) + payload;
    file_.assign(size, 0);
    for (std::uint32_t i = 0; i < size; ++i) file_[i] = static_cast<std::uint8_t>(i * 7 + 3);
    file_[0] = 0x24;
    file_[1] = 0x01;
    for (std::size_t i = pw::kCommandHeaderSize; i < pw::kHeaderBlockSize; ++i) file_[i] = 0xEE;
    job_.file.reset(new std::uint8_t[size]);
    std::copy(file_.begin(), file_.end(), job_.file.get());
    job_.file_size = size;
    job_.out_pipe = std::make_unique<fake::LentPipe>(pipe_, [this] {
      host_.events.push_back("close");
      file_released_at_close_ = job_.file == nullptr;
      done_at_close_ = job_.done.load();
      outcome_at_close_ = job_.outcome.load();
    });
  }

  std::vector<std::uint8_t> header() const {
    return {file_.begin(), file_.begin() + pw::kCommandHeaderSize};
  }
  std::vector<std::uint8_t> stream_until(std::size_t payload_bytes) const {
    std::vector<std::uint8_t> s = header();
    s.insert(s.end(), file_.begin() + pw::kHeaderBlockSize,
             file_.begin() + pw::kHeaderBlockSize + payload_bytes);
    return s;
  }
  std::vector<std::uint8_t> full_stream() const { return stream_until(file_.size() - pw::kHeaderBlockSize); }

  void run(const pw::TransferTimeouts& timeouts = {}) {
    pipe_.clock = &clock_;
    pw::run_transfer(job_, host_, clock_, timeouts);
  }

  void expect_failed_and_released() {
    EXPECT_EQ(job_.outcome.load(), TransferOutcome::failed);
    EXPECT_EQ(job_.done.load(std::memory_order_acquire), 1);
    ASSERT_GE(host_.events.size(), 2u);
    EXPECT_EQ(host_.events[host_.events.size() - 2], "close");
    EXPECT_EQ(host_.events.back(), "ended");
    EXPECT_FALSE(pipe_.pending()) << "a write was left in flight";
    EXPECT_EQ(pipe_.contract_breaches, 0);
  }

  std::vector<std::uint8_t> file_;
  fake::Pipe pipe_;
  fake::Clock clock_;
  RecordingHost host_;
  bool file_released_at_close_ = false;
  int done_at_close_ = -1;
  TransferOutcome outcome_at_close_ = TransferOutcome::sent;
  pw::TransferJob job_;  // last: its pipe reports to the members above as it goes
};

// --- What reaches the device ------------------------------------------------

class TransferStream : public Transfer, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(TransferStream, SendsCommandHeaderThenPayloadInChunksOfAtMost2048) {
  const std::uint32_t payload = GetParam();
  load(payload);
  run();

  EXPECT_EQ(pipe_.written, full_stream());
  std::vector<std::uint32_t> requests{48};
  for (std::uint32_t left = payload; left > 0; left -= std::min(left, 2048u)) requests.push_back(std::min(left, 2048u));
  EXPECT_EQ(pipe_.write_requests, requests);
  EXPECT_EQ(job_.outcome.load(), TransferOutcome::sent);
  EXPECT_EQ(job_.bytes_sent.load(), payload);
  EXPECT_EQ(job_.file, nullptr);
  EXPECT_EQ(job_.done.load(std::memory_order_acquire), 1);
  EXPECT_EQ(host_.events[host_.events.size() - 2], "close");
  EXPECT_EQ(host_.events.back(), "ended");
}

INSTANTIATE_TEST_SUITE_P(PayloadSizes, TransferStream, ::testing::Values(4u, 2048u, 2049u, 4096u, 5000u));

TEST_F(Transfer, NeverSendsTheTailOfTheHeaderBlock) {
  load(3000);
  run();
  ASSERT_EQ(pipe_.written.size(), 48u + 3000u);
  const std::vector<std::uint8_t> tail(pw::kHeaderBlockSize - pw::kCommandHeaderSize, 0xEE);
  EXPECT_EQ(std::search(pipe_.written.begin(), pipe_.written.end(), tail.begin(), tail.begin() + 16),
            pipe_.written.end());
}

// --- Progress -----------------------------------------------------------------

struct ProgressCase {
  std::uint32_t payload;
  std::vector<int> positions;
};

class TransferProgress : public Transfer, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(TransferProgress, ReportsEachNewPositionAndEndsAtExactly100) {
  load(GetParam().payload);
  run();
  EXPECT_EQ(host_.progress_seen, GetParam().positions);
}

INSTANTIATE_TEST_SUITE_P(Payloads, TransferProgress,
                         ::testing::Values(ProgressCase{5000, {40, 81, 100}}, ProgressCase{50, {100}},
                                           ProgressCase{150, {100}}, ProgressCase{2049, {99, 100}},
                                           ProgressCase{4096, {50, 100}}));

TEST_F(Transfer, ShortWritesMoveProgressOnlyWhenThePositionChanges) {
  load(1000);
  pipe_.starts = {fake::done_all(), fake::done(1), fake::done(1), fake::done(100)};
  run();
  // 1/1000 and 2/1000 both show 0, which is already shown.
  EXPECT_EQ(host_.progress_seen, (std::vector<int>{10, 100}));
  EXPECT_EQ(pipe_.written, full_stream());
}

struct PositionCase {
  std::uint32_t sent, total;
  int expected;
};

class ProgressPosition : public ::testing::TestWithParam<PositionCase> {};

TEST_P(ProgressPosition, UsesWideArithmeticAndNeverPasses100) {
  EXPECT_EQ(pw::progress_position(GetParam().sent, GetParam().total), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ProgressPosition,
                         ::testing::Values(PositionCase{0, 5000, 0}, PositionCase{2048, 5000, 40},
                                           PositionCase{4096, 5000, 81}, PositionCase{5000, 5000, 100},
                                           PositionCase{3'000'000'000u, 4'000'000'000u, 75},
                                           PositionCase{50'000'000u, 100'000'000u, 50},
                                           PositionCase{4'294'967'295u, 4'294'967'295u, 100}));

// --- Waiting, cancelling and repeating -------------------------------------------

TEST_F(Transfer, WaitsForPendingWritesWithTheStageTimeouts) {
  load(2100);
  pipe_.starts = {fake::pending(), fake::pending(), fake::pending()};
  run();
  EXPECT_EQ(pipe_.written, full_stream());
  EXPECT_EQ(pipe_.wait_timeouts, (std::vector<std::uint32_t>{pw::kHeaderWaitMs, pw::kChunkWaitMs, pw::kChunkWaitMs}));
  EXPECT_EQ(job_.outcome.load(), TransferOutcome::sent);
}

struct RepeatCase {
  const char* name;
  std::uint32_t moved_by_cancel;
};

class TransferChunkRepeat : public Transfer, public ::testing::WithParamInterface<RepeatCase> {};

TEST_P(TransferChunkRepeat, TimedOutChunkIsCancelledAndOnlyItsRestRepeated) {
  const std::uint32_t moved = GetParam().moved_by_cancel;
  load(5000);
  pipe_.starts = {fake::done_all(), fake::done_all(), fake::pending()};
  pipe_.waits = {fake::timed_out()};
  pipe_.cancels = {moved};
  run();
  EXPECT_EQ(pipe_.written, full_stream());
  EXPECT_EQ(pipe_.cancel_calls, 1);
  EXPECT_EQ(pipe_.write_requests, (std::vector<std::uint32_t>{48, 2048, 2048, 2048 - moved, 904}));
  EXPECT_EQ(job_.outcome.load(), TransferOutcome::sent);
  EXPECT_EQ(host_.progress_seen.back(), 100);
}

INSTANTIATE_TEST_SUITE_P(MovedBeforeCancel, TransferChunkRepeat,
                         ::testing::Values(RepeatCase{"Nothing", 0}, RepeatCase{"Part", 1000},
                                           RepeatCase{"AllButOne", 2047}),
                         [](const ::testing::TestParamInfo<RepeatCase>& i) { return std::string(i.param.name); });

TEST_F(Transfer, CancelThatReportsTheWholeChunkMovedNeedsNoRepeat) {
  load(4096);
  pipe_.starts = {fake::done_all(), fake::pending()};
  pipe_.waits = {fake::timed_out()};
  pipe_.cancels = {2048};
  run();
  EXPECT_EQ(pipe_.written, full_stream());
  EXPECT_EQ(pipe_.write_requests, (std::vector<std::uint32_t>{48, 2048, 2048}));
}

// The second chunk of a 5000-byte payload goes wrong in each of these ways.
struct FailureCase {
  const char* name;
  std::deque<fake::Step> starts_after_first_chunk;
  std::deque<fake::Step> waits;
  std::deque<std::uint32_t> cancels;
  std::uint32_t payload_bytes_delivered;
};

class TransferChunkFailure : public Transfer, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TransferChunkFailure, FailsAndSendsNothingAfterIt) {
  const FailureCase& c = GetParam();
  load(5000);
  pipe_.starts = {fake::done_all(), fake::done_all()};
  pipe_.starts.insert(pipe_.starts.end(), c.starts_after_first_chunk.begin(), c.starts_after_first_chunk.end());
  pipe_.waits = c.waits;
  pipe_.cancels = c.cancels;
  run();
  EXPECT_EQ(pipe_.written, stream_until(c.payload_bytes_delivered));
  EXPECT_EQ(job_.bytes_sent.load(), c.payload_bytes_delivered);
  EXPECT_EQ(pipe_.start_writes, 2 + static_cast<int>(c.starts_after_first_chunk.size()));
  EXPECT_LT(host_.progress_seen.empty() ? 0 : host_.progress_seen.back(), 100);
  expect_failed_and_released();
}

INSTANTIATE_TEST_SUITE_P(
    Ways, TransferChunkFailure,
    ::testing::Values(
        FailureCase{"FailsAtOnce", {fake::failed()}, {}, {}, 2048},
        FailureCase{"WaitFails", {fake::pending()}, {fake::failed()}, {}, 2048},
        FailureCase{"RepeatTimesOutToo", {fake::pending(), fake::pending()}, {fake::timed_out(), fake::timed_out()},
                    {0, 0}, 2048},
        FailureCase{"RepeatTimesOutAfterMovingSome", {fake::pending(), fake::pending()},
                    {fake::timed_out(), fake::timed_out()}, {300, 200}, 2048 + 500},
        FailureCase{"RepeatFailsAtOnce", {fake::pending(), fake::failed()}, {fake::timed_out()}, {0}, 2048},
        FailureCase{"RepeatWaitFails", {fake::pending(), fake::pending()}, {fake::timed_out(), fake::failed()}, {0},
                    2048},
        FailureCase{"ShortThenTimeoutTwice", {fake::done(100), fake::pending(), fake::pending()},
                    {fake::timed_out(), fake::timed_out()}, {0, 0}, 2048 + 100},
        FailureCase{"ZeroByteCompletion", {fake::done(0)}, {}, {}, 2048}),
    [](const ::testing::TestParamInfo<FailureCase>& i) { return std::string(i.param.name); });

TEST_F(Transfer, ShortWritesContinueFromWhereTheyStopped) {
  load(3000);
  pipe_.starts = {fake::done(10), fake::done(38), fake::done(1500), fake::pending()};
  pipe_.waits = {fake::done(7)};
  run();
  EXPECT_EQ(pipe_.written, full_stream());
  EXPECT_EQ(pipe_.write_requests, (std::vector<std::uint32_t>{48, 38, 2048, 548, 541, 952}));
  EXPECT_EQ(job_.outcome.load(), TransferOutcome::sent);
}

// --- The header stage -------------------------------------------------------------

TEST_F(Transfer, HeaderFailingAtOnceIsRetriedAfterAPauseAndSentOnce) {
  load(100);
  pipe_.starts = {fake::failed(), fake::failed(), fake::failed()};
  run();
  EXPECT_EQ(pipe_.written, full_stream());
  EXPECT_EQ(pipe_.write_requests, (std::vector<std::uint32_t>{48, 48, 48, 48, 100}));
  EXPECT_EQ(clock_.sleeps, 3);
  EXPECT_EQ(job_.outcome.load(), TransferOutcome::sent);
}

TEST_F(Transfer, HeaderThatNeverGoesFailsOnceTheBoundHasPassed) {
  load(100);
  const std::uint64_t start = clock_.now;
  pipe_.default_start = fake::failed();
  run();
  EXPECT_TRUE(pipe_.written.empty());
  EXPECT_GE(clock_.now - start, pw::kHeaderWaitMs);
  EXPECT_LE(clock_.now - start, pw::kHeaderWaitMs + pw::kHeaderRetryPauseMs);
  EXPECT_EQ(pipe_.start_writes, 1 + static_cast<int>(pw::kHeaderWaitMs / pw::kHeaderRetryPauseMs));
  EXPECT_TRUE(host_.progress_seen.empty());
  expect_failed_and_released();
}

TEST_F(Transfer, HeaderTimingOutIsCancelledAndItsRestSentOnce) {
  load(100);
  pipe_.starts = {fake::pending(), fake::done_all()};
  pipe_.waits = {fake::timed_out()};
  pipe_.cancels = {20};
  run();
  EXPECT_EQ(pipe_.written, full_stream());
  EXPECT_EQ(pipe_.write_requests, (std::vector<std::uint32_t>{48, 28, 100}));
}

TEST_F(Transfer, HeaderCancelReportingAllMovedIsNotSentAgain) {
  load(100);
  pipe_.starts = {fake::pending()};
  pipe_.waits = {fake::timed_out()};
  pipe_.cancels = {48};
  run();
  EXPECT_EQ(pipe_.written, full_stream());
  EXPECT_EQ(pipe_.write_requests, (std::vector<std::uint32_t>{48, 100}));
}

TEST_F(Transfer, HeaderTimingOutTwiceFailsWithoutPayload) {
  load(100);
  pipe_.starts = {fake::pending(), fake::pending()};
  pipe_.waits = {fake::timed_out(), fake::timed_out()};
  run();
  EXPECT_TRUE(pipe_.written.empty());
  EXPECT_EQ(pipe_.start_writes, 2);
  expect_failed_and_released();
}

// --- Ending -----------------------------------------------------------------------

TEST_F(Transfer, RefusesABufferWithoutHeaderBlockAndPayload) {
  load(3);  // 1027 bytes
  run();
  EXPECT_EQ(pipe_.start_writes, 0);
  expect_failed_and_released();
}

TEST_F(Transfer, ReleasesTheFileThenClosesThePipeAndStoresDoneLast) {
  load(5000);
  job_.done = 1;  // as a stale flag would read
  job_.outcome = TransferOutcome::failed;
  run();
  EXPECT_TRUE(file_released_at_close_);
  EXPECT_EQ(done_at_close_, 0);
  EXPECT_EQ(outcome_at_close_, TransferOutcome::none);
  EXPECT_EQ(job_.done.load(std::memory_order_acquire), 1);
  EXPECT_EQ(job_.outcome.load(), TransferOutcome::sent);
  EXPECT_EQ(job_.out_pipe, nullptr);
}

TEST_F(Transfer, JobWithoutAPipeFailsWithoutWriting) {
  load(100);
  job_.out_pipe.reset();
  host_.events.clear();
  run();
  EXPECT_EQ(pipe_.start_writes, 0);
  EXPECT_EQ(job_.outcome.load(), TransferOutcome::failed);
  EXPECT_EQ(job_.done.load(), 1);
}

TEST_F(Transfer, StopRequestStopsBeforeTheNextWrite) {
  load(5000);
  host_.on_progress = [&](int) { job_.request_stop(); };
  run();
  EXPECT_EQ(pipe_.written, stream_until(2048));
  EXPECT_TRUE(pipe_.aborted.load()) << "the write in flight must be cancelled too";
  expect_failed_and_released();
}

TEST_F(Transfer, StopRequestEndsHeaderRetriesAtOnce) {
  load(100);
  job_.request_stop();
  pipe_.default_start = fake::failed();
  run();
  EXPECT_EQ(pipe_.start_writes, 0);
  expect_failed_and_released();
}

class TransferLosingACancel : public Transfer, public ::testing::WithParamInterface<bool> {};

// A driver that never completes a cancelled write: the transfer fails within
// its waits, and neither the header copy nor the file it was writing from is
// freed, since the system may still write to them.
TEST_P(TransferLosingACancel, FailsWithinItsWaitsAndKeepsTheBufferInUse) {
  const bool in_header = GetParam();
  load(5000);
  pipe_.cancels_never_end = true;
  if (in_header) {
    pipe_.starts = {fake::pending()};
  } else {
    pipe_.starts = {fake::done_all(), fake::done_all(), fake::pending()};
  }
  pipe_.waits = {fake::timed_out()};
  const std::uint8_t* file = job_.file.get();
  const std::uint64_t started = clock_.now;
  pw::TransferTimeouts t;
  t.header_wait_ms = 700;
  t.chunk_wait_ms = 900;
  run(t);

  expect_failed_and_released();
  EXPECT_LE(clock_.now - started, in_header ? 700u : 900u);
  EXPECT_EQ(pipe_.cancel_calls, 1);
  ASSERT_NE(pipe_.lost_buffer, nullptr);
  EXPECT_TRUE(pw::is_kept_for_the_system(in_header ? pipe_.lost_buffer : file))
      << "the buffer the lost write used was freed";
  if (!in_header) {
    EXPECT_EQ(pipe_.lost_buffer, file + pw::kHeaderBlockSize + 2048);
  }
  EXPECT_EQ(pipe_.start_writes, in_header ? 1 : 3) << "nothing may start after a lost write";
}

INSTANTIATE_TEST_SUITE_P(Stages, TransferLosingACancel, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Header" : "Chunk"; });

TEST_F(Transfer, ShorterTimeoutsAreUsedWhenGiven) {
  load(100);
  pipe_.starts = {fake::pending(), fake::pending()};
  pw::TransferTimeouts t;
  t.header_wait_ms = 700;
  t.chunk_wait_ms = 900;
  run(t);
  EXPECT_EQ(pipe_.wait_timeouts, (std::vector<std::uint32_t>{700, 900}));
}

// The command polls done from another thread and then reads the job; the
// release store must publish everything the worker wrote (TSan checks this).
TEST_F(Transfer, DoneWithAcquirePublishesTheWorkersWrites) {
  load(20000);
  pipe_.clock = &clock_;
  std::thread worker([&] { pw::run_transfer(job_, host_, clock_); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (job_.done.load(std::memory_order_acquire) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  const bool finished = job_.done.load(std::memory_order_acquire) == 1;
  EXPECT_TRUE(finished);
  if (finished) {
    EXPECT_EQ(job_.outcome.load(std::memory_order_relaxed), TransferOutcome::sent);
    EXPECT_EQ(job_.file, nullptr);
    EXPECT_EQ(job_.bytes_sent.load(std::memory_order_relaxed), 20000u);
    EXPECT_EQ(host_.progress_seen.back(), 100);
    EXPECT_EQ(pipe_.written, full_stream());
  }
  worker.join();
}

}  // namespace
