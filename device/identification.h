#pragma once
#include "session/session_state.h"
#include "session/window_port.h"

namespace pw {

struct DeviceState;

// The process-wide identification state shared with the reader thread.
DeviceState& device_state() noexcept;
void clear_identified_flag() noexcept;

// Makes sure the attached device is the right model: writes the identification byte
// on the out pipe, lets a reader thread watch the in pipe for the reply, waits, and
// stops the reader. Returns go_on when the device identified itself (now or earlier in
// this run), command_ended when the command ends (a box has told the user why), and
// end_process for a device that answers wrongly or not at all. Its texts are
// looked up here, so it may throw std::bad_alloc.
Outcome identify_device(WindowPort& window);

}  // namespace pw
