#pragma once
// One overlapped operation at a time on a pipe (or file) handle, seen through a
// small value type so the algorithms above it stay pure and can be tested against
// a scripted fake. No windows.h here.
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace pw {

enum class IoStatus : std::uint8_t {
  done,       // completed; `bytes` were moved
  pending,    // started and not yet complete (only from start_*)
  failed,     // failed; `error` holds the system error code
  timed_out,  // the wait ran out; the operation was cancelled and has ended, having moved `bytes`
};

struct IoOutcome {
  IoStatus status = IoStatus::failed;
  std::uint32_t bytes = 0;
  std::uint32_t error = 0;

  static constexpr IoOutcome done(std::uint32_t n) { return {IoStatus::done, n, 0}; }
  static constexpr IoOutcome pending() { return {IoStatus::pending, 0, 0}; }
  static constexpr IoOutcome failed(std::uint32_t err) { return {IoStatus::failed, 0, err}; }
  static constexpr IoOutcome timed_out(std::uint32_t moved) { return {IoStatus::timed_out, moved, 0}; }
  constexpr bool is_done() const { return status == IoStatus::done; }
};

class PipePort {
 public:
  virtual ~PipePort() = default;
  // Start an operation: done (at once, with its count), failed, or pending.
  // The buffer must stay alive until the operation has ended.
  virtual IoOutcome start_write(const std::uint8_t* data, std::uint32_t size) = 0;
  virtual IoOutcome start_read(std::uint8_t* data, std::uint32_t size) = 0;
  // Wait up to `timeout_ms` for the pending operation: done, failed, or timed_out
  // with bytes 0 (still pending; call cancel()).
  virtual IoOutcome wait(std::uint32_t timeout_ms) = 0;
  // Cancel the pending operation and wait, for a bounded time, until it has
  // really ended, so its record and buffer may be reused. Returns the count it
  // moved before ending. One that does not end in time is given up: see
  // operation_lost().
  virtual std::uint32_t cancel() = 0;
  // True once a cancelled operation did not end in time. The system may still
  // write to that operation's buffer, so the caller must never free or reuse
  // it (keep_for_the_system), and no further operation starts on this pipe.
  virtual bool operation_lost() const noexcept { return false; }
  // From any other thread: the operation in flight ends as failed, and every
  // later start_* fails.
  virtual void abort_from_other_thread() noexcept = 0;
};

// Reads of one file at an offset, one at a time, as PipePort's operations (the
// same object serves both on Windows).
class FileReads {
 public:
  // Done (at once, with its count), failed, or pending. The buffer must stay
  // alive until the read has ended.
  virtual IoOutcome start_read_at(std::uint64_t offset, std::uint8_t* data, std::uint32_t size) = 0;
  // As PipePort's.
  virtual IoOutcome wait(std::uint32_t timeout_ms) = 0;
  virtual std::uint32_t cancel() = 0;
  virtual bool operation_lost() const noexcept = 0;

 protected:
  ~FileReads() = default;
};

// Memory the system may still write to after an operation on it was given up:
// held, reachable, for the rest of the process and never freed or reused.
struct KeptForTheSystem {
  std::mutex guard;
  std::vector<std::unique_ptr<std::uint8_t[]>> buffers;
};

inline KeptForTheSystem& kept_for_the_system() {
  static auto* const kept = new KeptForTheSystem();  // never destroyed
  return *kept;
}

inline void keep_for_the_system(std::unique_ptr<std::uint8_t[]> buffer) noexcept {
  if (!buffer) return;
  KeptForTheSystem& kept = kept_for_the_system();
  std::lock_guard<std::mutex> lock(kept.guard);
  try {
    kept.buffers.push_back(std::move(buffer));
  } catch (const std::bad_alloc&) {
    buffer.release();  // no room to hold it: left allocated, which is all it needs
  }
}

inline bool is_kept_for_the_system(const std::uint8_t* buffer) {
  KeptForTheSystem& kept = kept_for_the_system();
  std::lock_guard<std::mutex> lock(kept.guard);
  for (const auto& b : kept.buffers)
    if (b.get() == buffer) return true;
  return false;
}

// Time for bounded retries; the real one reads the system's tick count.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t now_ms() = 0;
  virtual void sleep_ms(std::uint32_t ms) = 0;
};

}  // namespace pw
