#pragma once
#include "session/session_state.h"

namespace pw {

// The one place the process ends from inside the running dialog, with status 0.
// A running transfer is stopped and joined first, serving the window's messages
// meanwhile (the worker's window updates wait on them), so the runtime's exit
// handlers never run under a worker still using its job.
[[noreturn]] void end_process(const SessionState& session) noexcept;

}  // namespace pw
