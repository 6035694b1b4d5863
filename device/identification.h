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
  refused,       // the command ends (not linked, no library, no thread)
  driver_held,   // the command ends: a call into the driver did not return in time
  wrong_device,  // the process ends, with the stop-sign box
};

class Identification {
 public:
  // `why` hears the reason of an end, `said` what its box is to say. Its texts
  // are looked up here, so it may throw std::bad_alloc.
  Identified run(Frontend& frontend, CommandResult& why, Saying& said);

 private:
  static Identified driver_not_answering(CommandResult& why, Saying& said);
  static Identified refuse(CommandResult& why, Saying& said, CommandResult result, const std::string& text);
  // The out-pipe handles the identification byte went through stay open for the run.
  std::vector<UniqueHandle> kept_out_pipes_;
};

}  // namespace pw
