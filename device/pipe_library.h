#pragma once
// Binding of the vendor's USB pipe library, loaded by name for each use.
#include <windows.h>

#include <optional>

#include "win/handles.h"

namespace pw {

inline constexpr char kPipeLibraryName[] = "BMC51xUSB.dll";
inline constexpr char kOutPipeName[] = "PIPE00";  // host to device
inline constexpr char kInPipeName[] = "PIPE01";   // device to host

// Keeps the current directory, which holds files a user downloaded, out of the
// library search for the whole process. Call once at start-up.
void exclude_current_directory_from_library_search() noexcept;

// One load of the library with both exports resolved. A library that lacks an
// export counts as one that cannot be loaded.
class PipeLibrary {
 public:
  static std::optional<PipeLibrary> load() noexcept;

  // A handle to the attached device (INVALID_HANDLE_VALUE when there is none).
  HANDLE open_dev() const noexcept;
  // A handle on the named pipe (INVALID_HANDLE_VALUE on failure).
  HANDLE open_file(const char* pipe_name) const noexcept;

 private:
  using OpenDevFn = HANDLE(__cdecl*)();
  using OpenFileFn = HANDLE(__cdecl*)(const char*);
  PipeLibrary(UniqueModule module, OpenDevFn open_dev, OpenFileFn open_file) noexcept
      : module_(std::move(module)), open_dev_(open_dev), open_file_(open_file) {}
  UniqueModule module_;
  OpenDevFn open_dev_;
  OpenFileFn open_file_;
};

// Loads the library, opens one pipe and frees the library at once. Empty when the
// library cannot be loaded; otherwise the handle (which may be INVALID_HANDLE_VALUE).
std::optional<HANDLE> open_pipe_once(const char* pipe_name) noexcept;

}  // namespace pw
