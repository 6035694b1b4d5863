#include "app/process_end.h"

#include <cstdlib>

#include "update/transfer_worker_win.h"
#include "win/message_loop.h"

namespace pw {

namespace {
// How long the process waits for a stopped transfer to wind down before it exits.
constexpr DWORD kWorkerShutdownMs = 3000;
}  // namespace

void end_process(const SessionState& session) noexcept {
  if (TransferWorker* worker = session.running_worker) {
    worker->request_stop();
    serve_messages_until_signalled(worker->thread(), kWorkerShutdownMs);
  }
  std::exit(0);
}

}  // namespace pw
