#pragma once
// What one presence check means for the session, decided in one place. Pure.

namespace pw {

struct PresenceFacts {
  bool found = false;             // the probe found the device
  bool recheck = false;           // this check confirms an earlier miss
  bool command_running = false;   // an update command is under way
  bool transfer_running = false;  // a file is going out
  bool update_started = false;    // a command has passed the identification, and no question was asked since
  bool ending_box_open = false;   // a box after which the process ends is open
};

enum class PresenceVerdict {
  linked,       // the device is there
  unchanged,    // a miss that counts for nothing: the transfer under way decides
  recheck,      // a miss during a command: a second check decides
  not_linked,   // the device is gone; nothing to ask
  lost_update,  // the device is gone after an update got under way: ask before ending
};

PresenceVerdict judge_presence(const PresenceFacts& facts);

}  // namespace pw
