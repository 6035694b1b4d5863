#pragma once

namespace pw {

class TransferWorker;

// The one place the process ends from inside the running dialog, with status 0.
// A running transfer is stopped and joined first (it never waits for the window),
// so the runtime's exit handlers never run under a worker still using its job.
[[noreturn]] void end_process(TransferWorker* running) noexcept;

}  // namespace pw
