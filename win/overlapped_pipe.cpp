#include "win/overlapped_pipe.h"

namespace pw {

OverlappedPipe::OverlappedPipe(HANDLE pipe) noexcept
    : pipe_(pipe), event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

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

IoOutcome OverlappedPipe::start(bool write, void* data, std::uint32_t size) {
  if (pending_) return IoOutcome::failed(ERROR_BUSY);
  if (!event_) return IoOutcome::failed(ERROR_INVALID_HANDLE);
  if (aborted_.load()) return IoOutcome::failed(ERROR_OPERATION_ABORTED);

  record_ = OVERLAPPED{};
  record_.hEvent = event_.get();  // ReadFile and WriteFile reset it themselves as they start
  // The byte count the call itself returns is not reliable for an overlapped
  // handle; the record's result is.
  const BOOL ok = write ? ::WriteFile(pipe_, data, size, nullptr, &record_)
                        : ::ReadFile(pipe_, data, size, nullptr, &record_);
  if (ok) return finish();
  const DWORD err = ::GetLastError();
  if (err == ERROR_MORE_DATA) return finish();
  if (err != ERROR_IO_PENDING) return IoOutcome::failed(err);
  pending_ = true;
  // An abort from another thread may have looked for I/O just before this
  // one was issued; the flag is set before its CancelIoEx, so checking it
  // after issuing leaves no gap.
  if (aborted_.load()) ::CancelIoEx(pipe_, &record_);
  return IoOutcome::pending();
}

IoOutcome OverlappedPipe::finish() {
  DWORD moved = 0;
  if (::GetOverlappedResult(pipe_, &record_, &moved, FALSE)) return IoOutcome::done(moved);
  const DWORD err = ::GetLastError();
  // A message longer than the buffer filled all of it; the rest stays queued.
  if (err == ERROR_MORE_DATA) return IoOutcome::done(moved);
  return IoOutcome::failed(err);
}

IoOutcome OverlappedPipe::wait(std::uint32_t timeout_ms) {
  if (!pending_) return IoOutcome::failed(ERROR_INVALID_FUNCTION);
  // Waiting on the event wakes as soon as the operation completes; polling
  // with Sleep(1) would cost a whole scheduler tick per chunk.
  const DWORD r = ::WaitForSingleObject(event_.get(), timeout_ms);
  if (r == WAIT_TIMEOUT) return IoOutcome::timed_out(0);
  if (r != WAIT_OBJECT_0) {
    const DWORD err = ::GetLastError();
    cancel();
    return IoOutcome::failed(err ? err : ERROR_INVALID_HANDLE);
  }
  pending_ = false;
  return finish();
}

std::uint32_t OverlappedPipe::cancel() {
  if (!pending_) return 0;
  // Fails with ERROR_NOT_FOUND when the operation already completed; the wait
  // below then just collects its result.
  ::CancelIoEx(pipe_, &record_);
  DWORD moved = 0;
  if (!::GetOverlappedResult(pipe_, &record_, &moved, TRUE)) {
    moved = static_cast<DWORD>(record_.InternalHigh);
  }
  pending_ = false;
  return moved;
}

void OverlappedPipe::cancel_from_other_thread() noexcept {
  ::CancelIoEx(pipe_, nullptr);
}

void OverlappedPipe::abort_from_other_thread() noexcept {
  aborted_.store(true);
  ::CancelIoEx(pipe_, nullptr);
}

}  // namespace pw
