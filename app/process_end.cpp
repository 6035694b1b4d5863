#include "app/process_end.h"

#include <windows.h>

#include <cstdlib>

#include "update/transfer_worker_win.h"

namespace pw {

namespace {
// How long the process waits for a stopped transfer to wind down before it exits.
constexpr DWORD kWorkerShutdownMs = 3000;
}  // namespace

void end_process(TransferWorker* running) noexcept {
  if (running) {
    running->request_stop();
    ::WaitForSingleObject(running->thread(), kWorkerShutdownMs);
  }
  std::exit(0);
}

}  // namespace pw
