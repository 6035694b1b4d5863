#include "device/identify_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/fake_pipe.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kV{0x56, 0x31, 0x2E, 0x30};   // "V1.0"
const Bytes kNotV{0x55, 0x56, 0x56, 0x56};

struct ReaderCase {
  const char* name;
  std::deque<fake::Step> starts;
  std::deque<fake::Step> waits;
  bool identified;
  int reads;
};

constexpr int kAllPasses = static_cast<int>(pw::kReaderPassLimit);

class IdentifyReader : public ::testing::TestWithParam<ReaderCase> {};

// Once the script is used up every read fails, so a reader that never gets a
// reply runs through all its passes: the read count shows where it stopped.
TEST_P(IdentifyReader, EndsAtTheFirstDeliveredReplyAndSetsTheFlagOnlyForV) {
  const ReaderCase& c = GetParam();
  fake::Pipe pipe;
  pipe.starts = c.starts;
  pipe.waits = c.waits;
  pipe.default_start = fake::failed();
  pw::DeviceState state;
  std::atomic<bool> stop{false};

  pw::run_identify_reader(pipe, state, stop);

  EXPECT_EQ(state.identified.load(), c.identified);
  EXPECT_EQ(pipe.start_reads, c.reads);
  EXPECT_FALSE(pipe.pending()) << "a read was left in flight";
  EXPECT_EQ(pipe.contract_breaches, 0);
  for (std::uint32_t t : pipe.wait_timeouts) EXPECT_EQ(t, pw::kIdentifyReadWaitMs);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IdentifyReader,
    ::testing::Values(
        ReaderCase{"VAtOnce", {fake::reply(kV)}, {}, true, 1},
        ReaderCase{"VAfterPending", {fake::pending()}, {fake::reply(kV)}, true, 1},
        ReaderCase{"SingleVByte", {fake::reply({0x56})}, {}, true, 1},
        ReaderCase{"OtherFirstByteAtOnce", {fake::reply(kNotV)}, {}, false, 1},
        ReaderCase{"OtherFirstByteAfterPending", {fake::pending()}, {fake::reply(kNotV)}, false, 1},
        ReaderCase{"ZeroBytesWithStaleVAtOnce", {fake::reply(kV, 0)}, {}, false, kAllPasses},
        ReaderCase{"ZeroBytesWithStaleVAfterPending", {fake::pending()}, {fake::reply(kV, 0)}, false, kAllPasses},
        ReaderCase{"WaitFails", {fake::pending()}, {fake::failed()}, false, kAllPasses},
        ReaderCase{"VInTheRepeatAfterTimeout", {fake::pending(), fake::reply(kV)}, {fake::timed_out()}, true, 2},
        ReaderCase{"VInThePendingRepeat", {fake::pending(), fake::pending()}, {fake::timed_out(), fake::reply(kV)},
                   true, 2},
        ReaderCase{"RepeatTimesOutToo", {fake::pending(), fake::pending()}, {fake::timed_out(), fake::timed_out()},
                   false, kAllPasses + 1},
        ReaderCase{"FailedReadsThenVInALaterPass", {fake::failed(), fake::reply(kV, 0), fake::reply(kV)}, {}, true, 3},
        ReaderCase{"NotVDecidesBeforeALaterV", {fake::reply(kNotV), fake::reply(kV)}, {}, false, 1}),
    [](const ::testing::TestParamInfo<ReaderCase>& i) { return std::string(i.param.name); });

TEST(IdentifyReaderRun, TimedOutReadsAreCancelledBeforeTheBufferIsReused) {
  fake::Pipe pipe;
  pipe.starts = {fake::pending(), fake::pending(), fake::pending(), fake::pending()};
  pipe.waits = {fake::timed_out(), fake::timed_out(), fake::timed_out(), fake::reply(kV)};
  pipe.default_start = fake::failed();
  pw::DeviceState state;
  std::atomic<bool> stop{false};
  pw::run_identify_reader(pipe, state, stop);
  EXPECT_EQ(pipe.cancel_calls, 3);
  EXPECT_EQ(pipe.contract_breaches, 0);
  EXPECT_TRUE(state.identified.load());
}

TEST(IdentifyReaderRun, KeepsTheIdentifyingReplyAndReadsNoFurther) {
  fake::Pipe pipe;
  pipe.starts = {fake::reply(kV), fake::reply(kNotV), fake::reply({0x56, 0x39}), fake::reply(kV, 0)};
  pipe.default_start = fake::failed();
  pw::DeviceState state;
  std::atomic<bool> stop{false};
  pw::run_identify_reader(pipe, state, stop);
  EXPECT_TRUE(state.identified.load(std::memory_order_acquire));
  ASSERT_EQ(state.reply_size.load(std::memory_order_acquire), kV.size());
  EXPECT_EQ(Bytes(state.reply, state.reply + kV.size()), kV);
  EXPECT_EQ(pipe.start_reads, 1);
}

TEST(IdentifyReaderRun, KeepsAWrongReplyForTheRecordWithoutIdentifying) {
  fake::Pipe pipe;
  pipe.starts = {fake::reply(kNotV), fake::reply(kV)};
  pipe.default_start = fake::failed();
  pw::DeviceState state;
  std::atomic<bool> stop{false};
  pw::run_identify_reader(pipe, state, stop);
  EXPECT_FALSE(state.identified.load(std::memory_order_acquire));
  ASSERT_EQ(state.reply_size.load(std::memory_order_acquire), kNotV.size());
  EXPECT_EQ(Bytes(state.reply, state.reply + kNotV.size()), kNotV);
}

TEST(IdentifyReaderRun, ReadGivenUpAfterItsCancelEndsThePassesAndKeepsItsBuffer) {
  fake::Pipe pipe;
  pipe.cancels_never_end = true;
  pipe.starts = {fake::pending()};
  pipe.waits = {fake::timed_out()};
  pw::DeviceState state;
  std::atomic<bool> stop{false};
  pw::run_identify_reader(pipe, state, stop);
  EXPECT_EQ(pipe.start_reads, 1);
  EXPECT_FALSE(state.identified.load());
  ASSERT_NE(pipe.lost_buffer, nullptr);
  EXPECT_TRUE(pw::is_kept_for_the_system(pipe.lost_buffer));
}

TEST(IdentifyReaderRun, StopRequestedBeforehandReadsNothing) {
  fake::Pipe pipe;
  pw::DeviceState state;
  std::atomic<bool> stop{true};
  pw::run_identify_reader(pipe, state, stop);
  EXPECT_EQ(pipe.start_reads, 0);
}

TEST(IdentifyReaderRun, StopSeenAfterATimedOutWaitEndsWithoutTheRepeat) {
  fake::Pipe pipe;
  pw::DeviceState state;
  std::atomic<bool> stop{false};
  pipe.default_start = fake::pending();
  pipe.wait_hook = [&](std::uint32_t) {
    stop = true;
    return pw::IoOutcome::timed_out(0);
  };
  pw::run_identify_reader(pipe, state, stop);
  EXPECT_EQ(pipe.start_reads, 1);
  EXPECT_EQ(pipe.cancel_calls, 1);
  EXPECT_FALSE(pipe.pending());
}

// Another thread asks to stop while the reader is blocked in a wait; the
// stopping side's cross-thread cancel makes that wait fail.
TEST(IdentifyReaderRun, StopFromAnotherThreadEndsTheReaderPromptly) {
  fake::Pipe pipe;
  pw::DeviceState state;
  std::atomic<bool> stop{false};
  std::atomic<bool> cancelled{false};
  pipe.default_start = fake::pending();
  pipe.wait_hook = [&](std::uint32_t) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!cancelled.load() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    return cancelled.load() ? pw::IoOutcome::failed(995) : pw::IoOutcome::timed_out(0);
  };
  std::atomic<bool> returned{false};
  std::thread reader([&] {
    pw::run_identify_reader(pipe, state, stop);
    returned = true;
  });

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (pipe.waits_entered.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(pipe.waits_entered.load(), 1);
  stop = true;
  cancelled = true;
  const auto stop_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!returned.load() && std::chrono::steady_clock::now() < stop_deadline) std::this_thread::yield();
  EXPECT_TRUE(returned.load());
  reader.join();
  EXPECT_EQ(pipe.start_reads, 1);
  EXPECT_FALSE(pipe.pending());
  EXPECT_FALSE(state.identified.load());
}

}  // namespace
