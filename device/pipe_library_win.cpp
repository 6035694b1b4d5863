#include "device/pipe_library.h"

namespace pw {

void exclude_current_directory_from_library_search() noexcept { ::SetDllDirectoryA(""); }

std::optional<PipeLibrary> PipeLibrary::load() noexcept {
  // The executable's folder and the system folders first; a driver package that put
  // the library in the Windows folder or on PATH is still found by the standard
  // search, from which start-up has taken the current directory out.
  HMODULE module = ::LoadLibraryExA(kPipeLibraryName, nullptr,
                                    LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) module = ::LoadLibraryA(kPipeLibraryName);
  if (!module) return std::nullopt;
  UniqueModule owned(module);
  auto open_dev = reinterpret_cast<OpenDevFn>(reinterpret_cast<void*>(::GetProcAddress(module, "open_dev")));
  auto open_file = reinterpret_cast<OpenFileFn>(reinterpret_cast<void*>(::GetProcAddress(module, "open_file")));
  if (!open_dev || !open_file) return std::nullopt;
  return PipeLibrary(std::move(owned), open_dev, open_file);
}

HANDLE PipeLibrary::open_dev() const noexcept { return open_dev_(); }

HANDLE PipeLibrary::open_file(const char* pipe_name) const noexcept {
  char name[32] = {};  // the library takes the name from a 32-byte buffer
  lstrcpynA(name, pipe_name, sizeof name);
  return open_file_(name);
}

std::optional<HANDLE> open_pipe_once(const char* pipe_name) noexcept {
  std::optional<PipeLibrary> library = PipeLibrary::load();
  if (!library) return std::nullopt;
  return library->open_file(pipe_name);
}

}  // namespace pw
