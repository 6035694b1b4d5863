#pragma once
#include "session/session_state.h"
#include "session/window_port.h"

namespace pw {

// The update command: checks the link, identifies the device, then sends the update
// files of the current directory that are present and flagged, in a fixed order,
// serving the window's messages while each transfer runs. Returns end_process when
// the sequence has completed (or the process must end for another reason), and
// command_ended when the command ends early.
Outcome run_update_command(SessionState& session, WindowPort& window);

}  // namespace pw
