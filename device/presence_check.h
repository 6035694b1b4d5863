#pragma once
#include <string>

#include "device/driver_call.h"
#include "session/frontend.h"
#include "session/session_state.h"

namespace pw {

// What one presence probe's answer (asked on a thread of the host's) means:
// carries out what plan_presence (device/presence_rule.h) decides: the link told
// to the front end, the driver installer asked for once, the period re-armed, a
// recheck of a miss during a command, and the lost-device question, whose answer
// says the process is to end (end_process; go_on otherwise).
// Texts are looked up and converted here, so it may throw std::bad_alloc.
// `command_running`: the command's table is not idle; `ending_box_open`: a box
// after which the process ends is open, so an unplug behind it is no lost update;
// `transfer_running`: a transfer worker runs, from its start to its end event.
// `folder` holds the update files and the driver installer.
enum class PresenceCheck { periodic, recheck };
struct PresenceContext {
  PresenceCheck check = PresenceCheck::periodic;
  bool command_running = false;
  bool ending_box_open = false;
  bool transfer_running = false;
  const std::string* folder = nullptr;
};

// What the library answered to one probe, asked on a thread of the host's.
struct ProbeAnswer {
  bool library_loaded = false;
  bool found = false;
  // How the library was bound, for the record (empty when it was not loaded),
  // or what kind of library failed to load.
  DriverBinding binding;
};

// Whether a check of this kind probes at all: while a recheck is under way, it decides.
bool presence_probe_wanted(const SessionState& session, PresenceCheck check) noexcept;

// Carries out what one probe's answer means.
Outcome act_on_presence(SessionState& session, Frontend& frontend, PresenceSchedule& schedule,
                        const PresenceContext& context, const ProbeAnswer& answer);

// "<folder>\InstallUsbDrive.exe", or "" when it would not fit in 260 UTF-16 units.
std::string installer_path(const std::string& folder);

}  // namespace pw
