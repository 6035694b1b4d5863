#pragma once
// PipePort over a pipe handle opened with FILE_FLAG_OVERLAPPED: one operation
// at a time through one OVERLAPPED record with its own manual-reset event. Over
// a file handle opened so, it also reads at an offset (FileReads).
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "win/handles.h"
#include "win/pipe_port.h"

namespace pw {

// How long a cancelled operation is waited for before it is given up as lost.
// A worker asked to stop ends within this plus its last window updates, well
// inside the process's wait for it at exit.
constexpr DWORD kCancelWaitMs = 1000;
// A wait looks this often whether it was aborted, for an operation that the
// abort's cancel never reaches (a driver that ignores cancels).
constexpr DWORD kAbortCheckMs = 100;

class OverlappedPipe final : public PipePort, public FileReads {
 public:
  // Borrows `pipe`; the caller keeps it open for this object's lifetime.
  explicit OverlappedPipe(HANDLE pipe) noexcept;
  // Owns `pipe` and closes it after the last operation has ended.
  explicit OverlappedPipe(UniqueHandle pipe) noexcept;
  // An operation still in flight is cancelled and waited for first, so the
  // record and the caller's buffer are no longer in use afterwards (or, when
  // it does not end in time, are kept for the system).
  ~OverlappedPipe() override;
  OverlappedPipe(const OverlappedPipe&) = delete;
  OverlappedPipe& operator=(const OverlappedPipe&) = delete;

  IoOutcome start_write(const std::uint8_t* data, std::uint32_t size) override;
  IoOutcome start_read(std::uint8_t* data, std::uint32_t size) override;
  IoOutcome start_read_at(std::uint64_t offset, std::uint8_t* data, std::uint32_t size) override;
  // Also ends for abort_from_other_thread(): at once when its cancel ends the
  // operation, else within kAbortCheckMs.
  IoOutcome wait(std::uint32_t timeout_ms) override;
  std::uint32_t cancel() override;
  bool operation_lost() const noexcept override { return lost_; }

  // From any other thread: cancels every operation in flight on the handle
  // (CancelIoEx, which unlike CancelIo reaches other threads' I/O), so a wait()
  // blocked on it returns failed with ERROR_OPERATION_ABORTED.
  void cancel_from_other_thread() noexcept;
  // As cancel_from_other_thread(), and every later start_* fails with
  // ERROR_OPERATION_ABORTED, also one racing with this call; a wait() under
  // way ends too.
  void abort_from_other_thread() noexcept override;

  HANDLE handle() const noexcept { return pipe_; }
  bool is_pending() const noexcept { return pending_; }

 private:
  // An operation's record and its event, on the heap so that one the system
  // never gives back can be kept for it whole.
  struct Record {
    OVERLAPPED overlapped{};
    UniqueHandle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  };

  IoOutcome start(bool write, void* data, std::uint32_t size, std::uint64_t offset = 0);
  // Result of the operation whose event is signalled.
  IoOutcome finish();

  UniqueHandle owned_;  // empty when borrowed
  HANDLE pipe_;
  std::unique_ptr<Record> record_;
  bool pending_ = false;
  bool lost_ = false;
  std::atomic<bool> aborted_{false};
};

// Tick count and Sleep.
class SystemClock final : public Clock {
 public:
  std::uint64_t now_ms() override { return ::GetTickCount64(); }
  void sleep_ms(std::uint32_t ms) override { ::Sleep(ms); }
};

}  // namespace pw
