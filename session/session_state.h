#pragma once
// The state of one run of the updater that the command's table does not decide,
// owned by the workflow's host and lent to the presence poll and the update
// command, which run on the host's thread only.

namespace pw {

// What a poll, the identification or an update command leaves behind. Only the
// host ends the process.
enum class Outcome { go_on, command_ended, end_process };

struct SessionState {
  // The last presence poll found the device. Written by the poll; read by the update command.
  bool linked = false;
  // The front end has heard the link at least once; after that, only its changes. Written by the poll.
  bool link_reported = false;
  // The installer has been started, or the device seen. Written by the poll; cleared at the dialog's start.
  bool installer_started = false;
  // An update command has passed the identification. Set by the command; read and cleared by the poll.
  bool update_started = false;

  // A check during a command found no device and waits for a second one to
  // confirm it. Written and read by the poll.
  bool presence_recheck_pending = false;
  // The "library unloaded" box: never two at once, and not again until a load has
  // succeeded in between. Written and read by the poll.
  bool library_box_open = false;
  bool library_failure_reported = false;
};

}  // namespace pw
