#pragma once
#include <string>

namespace pw {

// Paths are UTF-8 here; their limits are counted in UTF-16 units, as the system counts.

// Full path of the running executable, or "" when it does not fit in 260 units
// (a truncated path would name some other file).
std::string executable_path();

// The executable's folder with its trailing separator, or "" as above.
std::string executable_folder();

// The current directory as the system reports it into 260 units, or "" when it
// does not fit or cannot be read.
std::string current_directory();

}  // namespace pw
