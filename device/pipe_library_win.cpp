#include "device/pipe_library.h"

#include <string>
#include <vector>

#include "win/module_path.h"

namespace pw {

namespace {

std::string full_folder_path(const std::string& folder) {
  char full[MAX_PATH];
  const DWORD n = ::GetFullPathNameA(folder.c_str(), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) return std::string();
  std::string path(full, n);
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

bool is_absolute(const std::string& folder) {
  return folder.size() >= 3 && folder[1] == ':' && (folder[2] == '\\' || folder[2] == '/');
}

// The Windows folder and the folders on PATH, where a driver package may have put
// the library; never the current directory, whatever PATH says.
HMODULE load_from_driver_folders() {
  std::vector<std::string> folders;
  char windows[MAX_PATH];
  const UINT n = ::GetWindowsDirectoryA(windows, MAX_PATH);
  if (n > 0 && n < MAX_PATH) folders.emplace_back(windows, n);
  const DWORD path_size = ::GetEnvironmentVariableA("PATH", nullptr, 0);
  if (path_size > 0) {
    std::string path(path_size, '\0');
    const DWORD got = ::GetEnvironmentVariableA("PATH", &path[0], path_size);
    path.resize(got < path_size ? got : 0);
    std::string::size_type start = 0;
    while (start <= path.size()) {
      const std::string::size_type end = path.find(';', start);
      folders.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  const std::string current = full_folder_path(current_directory());
  for (const std::string& folder : folders) {
    if (!is_absolute(folder)) continue;  // a relative entry would name the current directory
    const std::string full = full_folder_path(folder);
    if (full.empty() || (!current.empty() && ::lstrcmpiA(full.c_str(), current.c_str()) == 0)) continue;
    const std::string candidate = full + "\\" + kPipeLibraryName;
    const DWORD attributes = ::GetFileAttributesA(candidate.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (HMODULE module = ::LoadLibraryExA(candidate.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) return module;
  }
  return nullptr;
}

}  // namespace

void exclude_current_directory_from_library_search() noexcept { ::SetDllDirectoryA(""); }

std::optional<PipeLibrary> PipeLibrary::load() noexcept {
  // The current directory holds files a user downloaded: a library planted there is
  // never loaded. The executable's folder and the system folder come first.
  HMODULE module = ::LoadLibraryExA(kPipeLibraryName, nullptr,
                                    LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) module = load_from_driver_folders();
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
