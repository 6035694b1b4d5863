#pragma once
#include "host/run_details.h"

namespace pw {

// The first lines of the run's details: the program, its version and build, and the Windows version.
void record_run_start(RunDetails& details, const char* program);

}  // namespace pw
