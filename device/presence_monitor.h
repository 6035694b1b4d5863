#pragma once
#include <string>

#include "session/frontend.h"
#include "session/session_state.h"

namespace pw {

// One check of the device on a tick of the poll timer: asks the pipe library and
// carries out what plan_presence (device/presence_rule.h) decides: the link told
// to the front end, the driver installer asked for once, the period re-armed, a
// recheck of a miss during a command, and the lost-device question, which ends
// the process when the front end answers so (end_process; go_on otherwise).
// Texts are looked up and converted here, so it may throw std::bad_alloc.
enum class PresenceCheck { periodic, recheck };
Outcome poll_device_presence(SessionState& session, Frontend& frontend, PresenceSchedule& schedule,
                             PresenceCheck check = PresenceCheck::periodic);

// "<current directory>\InstallUsbDrive.exe", or "" when it would not fit in 260 UTF-16 units.
std::string installer_path();

}  // namespace pw
