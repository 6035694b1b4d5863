#include "win/overlapped_pipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using pw::IoOutcome;
using pw::IoStatus;
using pw::OverlappedPipe;
using pw::UniqueHandle;

// A connected named pipe: a plain (blocking) server end and an overlapped
// client end, the way the device's pipes are opened.
struct PipePair {
  UniqueHandle server;
  UniqueHandle client;
};

PipePair make_pipe(DWORD buffer_size) {
  static std::atomic<int> counter{0};
  const std::string name = "\\\\.\\pipe\\pushwell-overlapped-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                           std::to_string(++counter);
  PipePair p;
  p.server.reset(::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                    1, buffer_size, buffer_size, 0, nullptr));
  p.client.reset(::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr));
  if (p.server && p.client && !::ConnectNamedPipe(p.server.get(), nullptr) &&
      ::GetLastError() != ERROR_PIPE_CONNECTED) {
    p.client.reset();
  }
  return p;
}

std::vector<std::uint8_t> pattern(std::size_t size) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
  return v;
}

// Reads `total` bytes from the server end in small slow reads.
std::vector<std::uint8_t> read_slowly(HANDLE server, std::size_t total) {
  std::vector<std::uint8_t> got;
  std::uint8_t buf[700];
  while (got.size() < total) {
    DWORD n = 0;
    if (!::ReadFile(server, buf, sizeof buf, &n, nullptr) || n == 0) break;
    got.insert(got.end(), buf, buf + n);
    ::Sleep(1);  // a slow reader, so the writer has to wait for room
  }
  return got;
}

bool write_all(HANDLE server, const std::vector<std::uint8_t>& data) {
  DWORD n = 0;
  return ::WriteFile(server, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) && n == data.size();
}

TEST(OverlappedPipe, WriteThatFitsTheBufferCompletesAtOnceWithItsCount) {
  PipePair p = make_pipe(4096);
  ASSERT_TRUE(p.client);
  OverlappedPipe pipe(p.client.get());
  const std::vector<std::uint8_t> data = pattern(100);

  const IoOutcome r = pipe.start_write(data.data(), 100);
  EXPECT_EQ(r.status, IoStatus::done);
  EXPECT_EQ(r.bytes, 100u);
  EXPECT_FALSE(pipe.is_pending());
  EXPECT_EQ(read_slowly(p.server.get(), 100), data);
}

TEST(OverlappedPipe, LargeWriteGoesPendingAndCompletesThroughWait) {
  PipePair p = make_pipe(1024);
  ASSERT_TRUE(p.client);
  OverlappedPipe pipe(p.client.get());
  const std::vector<std::uint8_t> data = pattern(64 * 1024);
  std::vector<std::uint8_t> received;

  const IoOutcome started = pipe.start_write(data.data(), static_cast<std::uint32_t>(data.size()));
  std::thread server([&] { received = read_slowly(p.server.get(), data.size()); });
  IoOutcome r = started;
  if (started.status == IoStatus::pending) r = pipe.wait(60000);
  server.join();

  EXPECT_EQ(started.status, IoStatus::pending);
  EXPECT_EQ(r.status, IoStatus::done);
  EXPECT_EQ(r.bytes, data.size());
  EXPECT_EQ(received, data);
}

TEST(OverlappedPipe, WaitRunsOutWhileNobodyReadsAndCancelEndsTheWrite) {
  PipePair p = make_pipe(1024);
  ASSERT_TRUE(p.client);
  OverlappedPipe pipe(p.client.get());
  const std::vector<std::uint8_t> data = pattern(64 * 1024);

  ASSERT_EQ(pipe.start_write(data.data(), static_cast<std::uint32_t>(data.size())).status, IoStatus::pending);
  const IoOutcome r = pipe.wait(50);
  EXPECT_EQ(r.status, IoStatus::timed_out);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_TRUE(pipe.is_pending());

  const std::uint32_t moved = pipe.cancel();
  EXPECT_LT(moved, data.size());
  EXPECT_FALSE(pipe.is_pending());
  // The record is free again.
  const IoOutcome again = pipe.start_write(data.data(), 1);
  EXPECT_NE(again.status, IoStatus::failed) << again.error;
  if (again.status == IoStatus::pending) pipe.cancel();
}

TEST(OverlappedPipe, CancelledReadReportsItsEndAndTheNextReadGetsTheData) {
  PipePair p = make_pipe(4096);
  ASSERT_TRUE(p.client);
  OverlappedPipe pipe(p.client.get());
  std::uint8_t buf[10] = {};

  ASSERT_EQ(pipe.start_read(buf, sizeof buf).status, IoStatus::pending);
  EXPECT_EQ(pipe.cancel(), 0u);
  EXPECT_FALSE(pipe.is_pending());

  ASSERT_TRUE(write_all(p.server.get(), {0x56, 0x31, 0x32}));
  IoOutcome r = pipe.start_read(buf, sizeof buf);
  if (r.status == IoStatus::pending) r = pipe.wait(10000);
  EXPECT_EQ(r.status, IoStatus::done);
  EXPECT_EQ(r.bytes, 3u);
  EXPECT_EQ(buf[0], 0x56);
  EXPECT_EQ(buf[2], 0x32);
}

TEST(OverlappedPipe, CancelFromAnotherThreadWakesAWaitingReader) {
  PipePair p = make_pipe(4096);
  ASSERT_TRUE(p.client);
  OverlappedPipe pipe(p.client.get());
  std::atomic<bool> started{false};
  IoOutcome r;
  std::chrono::steady_clock::duration waited{};

  std::thread reader([&] {
    std::uint8_t buf[10];
    if (pipe.start_read(buf, sizeof buf).status != IoStatus::pending) return;
    started = true;
    const auto t0 = std::chrono::steady_clock::now();
    r = pipe.wait(60000);
    waited = std::chrono::steady_clock::now() - t0;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!started.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  pipe.cancel_from_other_thread();
  reader.join();

  ASSERT_TRUE(started.load());
  EXPECT_EQ(r.status, IoStatus::failed);
  EXPECT_EQ(r.error, static_cast<std::uint32_t>(ERROR_OPERATION_ABORTED));
  EXPECT_LT(waited, std::chrono::seconds(30));
  EXPECT_FALSE(pipe.is_pending());
}

TEST(OverlappedPipe, AbortFromAnotherThreadAlsoRefusesLaterOperations) {
  PipePair p = make_pipe(4096);
  ASSERT_TRUE(p.client);
  OverlappedPipe pipe(p.client.get());
  std::uint8_t buf[4];
  ASSERT_EQ(pipe.start_read(buf, sizeof buf).status, IoStatus::pending);
  std::thread([&] { pipe.abort_from_other_thread(); }).join();

  EXPECT_EQ(pipe.wait(30000).status, IoStatus::failed);
  const std::uint8_t byte = 0x40;
  const IoOutcome w = pipe.start_write(&byte, 1);
  EXPECT_EQ(w.status, IoStatus::failed);
  EXPECT_EQ(w.error, static_cast<std::uint32_t>(ERROR_OPERATION_ABORTED));
}

TEST(OverlappedPipe, DestroyingItEndsAPendingReadBeforeItsBufferGoes) {
  PipePair p = make_pipe(4096);
  ASSERT_TRUE(p.client);
  {
    OverlappedPipe first(p.client.get());
    std::vector<std::uint8_t> doomed(10);
    ASSERT_EQ(first.start_read(doomed.data(), 10).status, IoStatus::pending);
  }
  // Had the read survived, it would take these bytes into freed memory.
  ASSERT_TRUE(write_all(p.server.get(), {1, 2, 3, 4}));
  OverlappedPipe second(p.client.get());
  std::uint8_t buf[10] = {};
  IoOutcome r = second.start_read(buf, sizeof buf);
  if (r.status == IoStatus::pending) r = second.wait(10000);
  EXPECT_EQ(r.status, IoStatus::done);
  EXPECT_EQ(r.bytes, 4u);
  EXPECT_EQ(buf[3], 4);
}

TEST(OverlappedPipe, OperationsOnABrokenPipeFail) {
  PipePair p = make_pipe(4096);
  ASSERT_TRUE(p.client);
  OverlappedPipe pipe(p.client.get());
  p.server.reset();
  std::uint8_t buf[4];
  EXPECT_EQ(pipe.start_read(buf, sizeof buf).status, IoStatus::failed);
  EXPECT_EQ(pipe.start_write(buf, sizeof buf).status, IoStatus::failed);
  EXPECT_FALSE(pipe.is_pending());
}

TEST(OverlappedPipe, WaitOrCancelWithoutAnOperationDoesNothing) {
  PipePair p = make_pipe(4096);
  ASSERT_TRUE(p.client);
  OverlappedPipe pipe(p.client.get());
  EXPECT_EQ(pipe.wait(10).status, IoStatus::failed);
  EXPECT_EQ(pipe.cancel(), 0u);
}

}  // namespace
