#include "win/overlapped_pipe.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

namespace pw {

namespace {

// Records of operations given up as lost: the system may still complete into
// them, so they stay reachable, and are never freed, for the rest of the process.
template <class Record>
void keep_record_for_the_system(std::unique_ptr<Record> record) noexcept {
  static std::mutex guard;
  static auto* const kept = new std::vector<std::unique_ptr<Record>>();  // never destroyed
  std::lock_guard<std::mutex> lock(guard);
  try {
    kept->push_back(std::move(record));
  } catch (const std::bad_alloc&) {
    record.release();  // no room to hold it: left allocated, which is all it needs
  }
}

}  // namespace

OverlappedPipe::OverlappedPipe(HANDLE pipe) noexcept
    : pipe_(pipe), record_(new (std::nothrow) Record) {}

OverlappedPipe::OverlappedPipe(UniqueHandle pipe) noexcept : OverlappedPipe(pipe.get()) {
  owned_ = std::move(pipe);
}

OverlappedPipe::~OverlappedPipe() {
  if (pending_) cancel();
}

IoOutcome OverlappedPipe::start_write(const std::uint8_t* data, std::uint32_t size) {
  return start(true, const_cast<std::uint8_t*>(data), size);
}

IoOutcome OverlappedPipe::start_read(std::uint8_t* data, std::uint32_t size) {
  return start(false, data, size);
}

IoOutcome OverlappedPipe::start_read_at(std::uint64_t offset, std::uint8_t* data, std::uint32_t size) {
  return start(false, data, size, offset);
}

IoOutcome OverlappedPipe::start(bool write, void* data, std::uint32_t size, std::uint64_t offset) {
  if (pending_) return IoOutcome::failed(ERROR_BUSY);
  if (!record_ || !record_->event) return IoOutcome::failed(ERROR_INVALID_HANDLE);
  if (lost_ || aborted_.load()) return IoOutcome::failed(ERROR_OPERATION_ABORTED);

  OVERLAPPED& record = record_->overlapped;
  record = OVERLAPPED{};
  record.Offset = static_cast<DWORD>(offset);  // a pipe ignores it
  record.OffsetHigh = static_cast<DWORD>(offset >> 32);
  record.hEvent = record_->event.get();  // ReadFile and WriteFile reset it themselves as they start
  // The byte count the call itself returns is not reliable for an overlapped
  // handle; the record's result is.
  const BOOL ok = write ? ::WriteFile(pipe_, data, size, nullptr, &record)
                        : ::ReadFile(pipe_, data, size, nullptr, &record);
  if (ok) return finish();
  const DWORD err = ::GetLastError();
  if (err == ERROR_MORE_DATA) return finish();
  if (err != ERROR_IO_PENDING) return IoOutcome::failed(err);
  pending_ = true;
  // An abort from another thread may have looked for I/O just before this
  // one was issued; the flag is set before its CancelIoEx, so checking it
  // after issuing leaves no gap.
  if (aborted_.load()) ::CancelIoEx(pipe_, &record);
  return IoOutcome::pending();
}

IoOutcome OverlappedPipe::finish() {
  DWORD moved = 0;
  if (::GetOverlappedResult(pipe_, &record_->overlapped, &moved, FALSE)) return IoOutcome::done(moved);
  const DWORD err = ::GetLastError();
  // A message longer than the buffer filled all of it; the rest stays queued.
  if (err == ERROR_MORE_DATA) return IoOutcome::done(moved);
  return IoOutcome::failed(err);
}

IoOutcome OverlappedPipe::wait(std::uint32_t timeout_ms) {
  if (!pending_) return IoOutcome::failed(ERROR_INVALID_FUNCTION);
  // Waiting on the event wakes as soon as the operation completes; polling
  // with Sleep(1) would cost a whole scheduler tick per chunk. The operation's
  // own event is the only handle waited on (one more would cost every chunk):
  // an abort cancels the operation, which sets it, and the wait comes in
  // slices so that an abort whose cancel never arrives still ends it.
  const ULONGLONG started = ::GetTickCount64();
  for (;;) {
    const ULONGLONG elapsed = ::GetTickCount64() - started;
    if (elapsed >= timeout_ms) return IoOutcome::timed_out(0);
    const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(timeout_ms - elapsed, kAbortCheckMs));
    const DWORD r = ::WaitForSingleObject(record_->event.get(), slice);
    if (r == WAIT_OBJECT_0) break;
    if (r != WAIT_TIMEOUT || aborted_.load()) {
      const DWORD err = r == WAIT_TIMEOUT ? ERROR_OPERATION_ABORTED : ::GetLastError();
      cancel();
      return IoOutcome::failed(err ? err : ERROR_INVALID_HANDLE);
    }
  }
  pending_ = false;
  return finish();
}

std::uint32_t OverlappedPipe::cancel() {
  if (!pending_) return 0;
  pending_ = false;
  OVERLAPPED& record = record_->overlapped;
  // Fails with ERROR_NOT_FOUND when the operation already completed; the wait
  // below then just collects its result.
  ::CancelIoEx(pipe_, &record);
  if (::WaitForSingleObject(record_->event.get(), kCancelWaitMs) != WAIT_OBJECT_0) {
    // A driver that never completes cancelled requests: the record goes to the
    // system, and the caller keeps the buffer for it.
    lost_ = true;
    keep_record_for_the_system(std::move(record_));
    return 0;
  }
  DWORD moved = 0;
  if (!::GetOverlappedResult(pipe_, &record, &moved, FALSE)) moved = static_cast<DWORD>(record.InternalHigh);
  return moved;
}

void OverlappedPipe::cancel_from_other_thread() noexcept { ::CancelIoEx(pipe_, nullptr); }

void OverlappedPipe::abort_from_other_thread() noexcept {
  aborted_.store(true);
  ::CancelIoEx(pipe_, nullptr);
}

}  // namespace pw
