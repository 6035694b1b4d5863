#pragma once
// PipePort over a pipe handle opened with FILE_FLAG_OVERLAPPED: one operation
// at a time through one OVERLAPPED record with its own manual-reset event.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "win/handles.h"
#include "win/pipe_port.h"

namespace pw {

class OverlappedPipe final : public PipePort {
 public:
  // Borrows `pipe`; the caller keeps it open for this object's lifetime.
  explicit OverlappedPipe(HANDLE pipe) noexcept;
  // Owns `pipe` and closes it after the last operation has ended.
  explicit OverlappedPipe(UniqueHandle pipe) noexcept;
  // An operation still in flight is cancelled and waited for first, so the
  // record and the caller's buffer are no longer in use afterwards.
  ~OverlappedPipe() override;
  OverlappedPipe(const OverlappedPipe&) = delete;
  OverlappedPipe& operator=(const OverlappedPipe&) = delete;

  IoOutcome start_write(const std::uint8_t* data, std::uint32_t size) override;
  IoOutcome start_read(std::uint8_t* data, std::uint32_t size) override;
  IoOutcome wait(std::uint32_t timeout_ms) override;
  std::uint32_t cancel() override;

  // From any other thread: cancels every operation in flight on the handle
  // (CancelIoEx, which unlike CancelIo reaches other threads' I/O), so a wait()
  // blocked on it returns failed with ERROR_OPERATION_ABORTED.
  void cancel_from_other_thread() noexcept;
  // As cancel_from_other_thread(), and every later start_* fails with
  // ERROR_OPERATION_ABORTED, also one racing with this call.
  void abort_from_other_thread() noexcept override;

  HANDLE handle() const noexcept { return pipe_; }
  bool is_pending() const noexcept { return pending_; }

 private:
  IoOutcome start(bool write, void* data, std::uint32_t size);
  // Result of the operation whose event is signalled.
  IoOutcome finish();

  UniqueHandle owned_;  // empty when borrowed
  HANDLE pipe_;
  UniqueHandle event_;
  OVERLAPPED record_{};
  bool pending_ = false;
  std::atomic<bool> aborted_{false};
};

// Tick count and Sleep.
class SystemClock final : public Clock {
 public:
  std::uint64_t now_ms() override { return ::GetTickCount64(); }
  void sleep_ms(std::uint32_t ms) override { ::Sleep(ms); }
};

}  // namespace pw
