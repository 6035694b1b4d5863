#pragma once
// The state of one run of the updater, owned by the front end (the main dialog,
// or the console program) and lent to the presence poll and the update command,
// which run on the front end's thread only.
#include <string>

namespace pw {

class TransferWorker;

// What a poll, the identification or an update command leaves behind. Only the
// application ends the process.
enum class Outcome { go_on, command_ended, end_process };

struct SessionState {
  // The last presence poll found the device. Written by the poll; read by the update command.
  bool linked = false;
  // The installer has been started, or the device seen. Written by the poll; cleared at the dialog's start.
  bool installer_started = false;
  // An update command has passed the identification. Set by the command; read and cleared by the poll.
  bool update_started = false;
  // Whether each update file could be opened. Written by the command; not read yet.
  bool firmware_opened = false;
  bool image_opened = false;
  bool imageru_opened = false;
  bool sound_opened = false;
  bool database_opened = false;
  // The update file paths. Rebuilt by the command at each start; read by the command.
  std::string firmware_path, sound_path, image_path, imageru_path, database_path;

  // An update command is under way; clicks then do nothing and closing is refused.
  // Written by the update command; read by the poll, the front end and the platform calls.
  bool command_running = false;
  // A check during a command found no device and waits for a second one to
  // confirm it. Written and read by the poll.
  bool presence_recheck_pending = false;
  // The "library unloaded" box: never two at once, and not again until a load has
  // succeeded in between. Written and read by the poll.
  bool library_box_open = false;
  bool library_failure_reported = false;
  // The transfer under way, owned by the update command, which alone writes
  // this; read by the poll.
  TransferWorker* running_worker = nullptr;
  // A box after which the process ends is open: an unplug behind it is no lost
  // update. Written by the command; read by the poll.
  bool ending_box_open = false;
  // A handler ran out of memory while a command ran: the command ends once the
  // transfer under way has ended, and the front end says why. Set by the front
  // end and the command; cleared by the command at its start and by the front end
  // once it has said so.
  bool out_of_memory = false;
};

}  // namespace pw
