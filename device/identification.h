#pragma once
#include <string>
#include <vector>

#include "session/frontend.h"
#include "session/session_state.h"
#include "win/handles.h"

namespace pw {

// Makes sure the attached device is the right model: writes the identification byte
// on the out pipe, lets a reader thread watch the in pipe for the reply, waits, and
// stops the reader. Owns what the identification leaves for the rest of the run.
// Window thread (or the console program's thread) only.
// How an identification ended.
enum class Identified {
  yes,           // the right model answered
  refused,       // the command ends: a box has said why (not linked, no library, no thread)
  driver_held,   // the command ends: a call into the driver did not return in time
  wrong_device,  // the process ends: the stop-sign box has said so
};

class Identification {
 public:
  // `why` hears the reason of an end. Its texts are looked up here, so it may
  // throw std::bad_alloc.
  Identified run(Frontend& frontend, CommandResult& why);
  // A call into the driver did not return in time: it may still hold the device.
  bool driver_held() const noexcept { return driver_held_; }

 private:
  Identified driver_not_answering(Frontend& frontend, CommandResult& why);
  Identified refuse(Frontend& frontend, CommandResult& why, CommandResult result, const std::string& text);
  bool driver_held_ = false;
  // The out-pipe handles the identification byte went through stay open for the run.
  std::vector<UniqueHandle> kept_out_pipes_;
};

}  // namespace pw
