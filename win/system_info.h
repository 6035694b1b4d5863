#pragma once
// Facts about the system and the files around the updater, for the run's details.
#include <string>


namespace pw {

// "Windows 10.0.19045" as the kernel reports it (no compatibility shim applies).
std::string windows_version();

// The file version of the executable or library at `path` ("1.2.3.4"), or "" when
// it carries none.
std::string file_version(const std::string& path);

// "x86_64" or "i686": the build this program is.
const char* build_architecture() noexcept;

}  // namespace pw
