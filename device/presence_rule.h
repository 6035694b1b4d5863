#pragma once
// What one presence check means for the session, and what follows from it,
// decided in one place; the Win32 side only asks the library and carries the
// decisions out. Pure.

namespace pw {

// The driver installer started from the update folder when no device is found.
inline constexpr char kInstallerName[] = "InstallUsbDrive.exe";

struct PresenceFacts {
  bool found = false;             // the probe found the device
  bool recheck = false;           // this check confirms an earlier miss
  bool command_running = false;   // an update command is under way
  bool transfer_running = false;  // a file is going out
  bool update_started = false;    // a command has passed the identification, and no question was asked since
  bool ending_box_open = false;   // a box after which the process ends is open
  bool library_loaded = true;     // the pipe library could be loaded for the probe
};

// What the session remembers between checks.
struct PresenceMemory {
  bool installer_started = false;         // started, or the device seen, in this run
  bool library_message_open = false;      // the "library unloaded" message is up
  bool library_failure_reported = false;  // said once since the last load that worked
};

enum class PresenceVerdict {
  linked,       // the device is there
  unchanged,    // a miss that counts for nothing: the transfer under way decides
  recheck,      // a miss during a command: a second check decides
  not_linked,   // the device is gone; nothing to ask
  lost_update,  // the device is gone after an update got under way: ask before ending
};

PresenceVerdict judge_presence(const PresenceFacts& facts);

// The first check comes soon after start; while a file goes out the device is
// checked as while it is linked.
constexpr unsigned kFirstPollMs = 100;
constexpr unsigned kLinkedPollMs = 1000;
constexpr unsigned kTransferPollMs = kLinkedPollMs;
constexpr unsigned kUnlinkedPollMs = 800;
constexpr unsigned kPresenceRecheckMs = 250;

// Everything one check leads to, in the order it is carried out.
struct PresencePlan {
  PresenceVerdict verdict = PresenceVerdict::unchanged;
  // The library could not be loaded: say so (never two at once, never during a
  // transfer, which would wait under it, and once per run of failed loads).
  bool library_message = false;
  bool start_installer = false;  // once per run, only while the device has not been seen
  unsigned poll_period_ms = 0;   // 0: the period stays
  unsigned recheck_in_ms = 0;    // 0: none
};

PresencePlan plan_presence(const PresenceFacts& facts, const PresenceMemory& memory);

}  // namespace pw
