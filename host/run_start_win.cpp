#include "host/run_start.h"

#include <string>

#include "pushwell_version.h"
#include "win/system_info.h"

namespace pw {

void record_run_start(RunDetails& details, const char* program) {
  details.add(std::string(program) + " " PUSHWELL_VERSION_STRING ", build " + build_architecture());
  details.add(windows_version());
}

}  // namespace pw
