#pragma once
#include <string>

#include "session/session_state.h"
#include "session/window_port.h"

namespace pw {

// One poll of the device on a tick of timer 1: keeps `linked` and the status text
// current, starts the driver installer once when no device has been seen, re-arms
// the timer, and asks before ending the program when the device is lost after an
// update command got under way: end_process once the user has confirmed that
// question, go_on otherwise.
// During a command, a check that finds no device changes nothing until a
// recheck (`PresenceCheck::recheck`, kPresenceRecheckMs later) confirms it.
// While a transfer runs, a check that finds no device changes nothing at all:
// the transfer's own bounded failure tells a lost device. No box opens then.
// While a box after which the process ends is open, no question is asked.
// Texts are looked up and converted here, so it may throw std::bad_alloc.
enum class PresenceCheck { periodic, recheck };
constexpr unsigned kPresenceRecheckMs = 250;
Outcome poll_device_presence(SessionState& session, WindowPort& window,
                             PresenceCheck check = PresenceCheck::periodic);

// "<current directory>\InstallUsbDrive.exe", or "" when it would not fit in 260 UTF-16 units.
std::string installer_path();

}  // namespace pw
