#pragma once
#include <vector>

#include "session/frontend.h"
#include "session/session_state.h"
#include "win/handles.h"

namespace pw {

// Makes sure the attached device is the right model: writes the identification byte
// on the out pipe, lets a reader thread watch the in pipe for the reply, waits, and
// stops the reader. Owns what the identification leaves for the rest of the run.
// Window thread (or the console program's thread) only.
class Identification {
 public:
  // go_on when the device identified itself to this command,
  // command_ended when the command ends (a message has told the user why), and
  // end_process for a device that answers wrongly or not at all; `why` hears
  // the reason of an end. Its texts are looked up here, so it may throw std::bad_alloc.
  Outcome run(Frontend& frontend, CommandResult& why);
  // A call into the driver did not return in time: it may still hold the device.
  bool driver_held() const noexcept { return driver_held_; }

 private:
  Outcome driver_not_answering(Frontend& frontend, CommandResult& why);
  bool driver_held_ = false;
  // The out-pipe handles the identification byte went through stay open for the run.
  std::vector<UniqueHandle> kept_out_pipes_;
};

}  // namespace pw
