#include "device/pipe_library.h"

#include <new>
#include <string>
#include <vector>

#include "device/call_open_file.h"
#include "device/image_bitness.h"
#include "lang/lang_text.h"
#include "win/module_path.h"
#include "win/wide_text.h"

namespace pw {

namespace {

// Plain name first, then the names a __stdcall export keeps: MSVC's with the
// leading underscore, then MinGW's without it.
constexpr const char* kOpenDevNames[] = {"open_dev", "_open_dev@0", "open_dev@0"};
constexpr const char* kOpenFileNames[] = {"open_file", "_open_file@4", "open_file@4"};

template <std::size_t N>
void (*find_export(HMODULE module, const char* const (&names)[N], const char** found))() {
  for (const char* name : names) {
    if (FARPROC address = ::GetProcAddress(module, name)) {
      *found = name;
      return reinterpret_cast<void (*)()>(address);
    }
  }
  return nullptr;
}

// Paths are UTF-8 here, so folders named in any language work.
HMODULE system_load_library(const char* file, DWORD flags) {
  return ::LoadLibraryExW(widen(file).c_str(), nullptr, flags);
}

std::string full_folder_path(const std::string& folder) {
  wchar_t full[MAX_PATH];
  const DWORD n = ::GetFullPathNameW(widen(folder).c_str(), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) return std::string();
  std::string path = narrow(full, n);
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

bool is_absolute(const std::string& folder) {
  return folder.size() >= 3 && folder[1] == ':' && (folder[2] == '\\' || folder[2] == '/');
}

std::string joined(const std::string& folder, const char* file_name) {
  if (folder.empty()) return std::string();
  const bool has_separator = folder.back() == '\\' || folder.back() == '/';
  std::string path = folder + (has_separator ? "" : "\\") + file_name;
  return utf16_length(path) < MAX_PATH ? path : std::string();
}

std::string system_folder() {
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  return n > 0 && n < MAX_PATH ? narrow(folder, n) : std::string();
}

// By full path, so no search takes part; the library's own dependencies are
// then looked for beside it first.
HMODULE load_by_path(LoadLibraryExFn load, const std::string& path) {
  if (path.empty()) return nullptr;
  return load(path.c_str(), LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The Windows folder and the folders on PATH, where a driver package may have put
// the library, as a plain LoadLibraryA would find it; never the current directory,
// whatever PATH says. The existing files, in search order.
std::vector<std::string> driver_folder_candidates(const char* file_name) {
  std::vector<std::string> folders;
  wchar_t windows[MAX_PATH];
  const UINT n = ::GetWindowsDirectoryW(windows, MAX_PATH);
  if (n > 0 && n < MAX_PATH) folders.push_back(narrow(windows, n));
  const DWORD path_size = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (path_size > 0) {
    std::wstring wide_path(path_size, L'\0');
    const DWORD got = ::GetEnvironmentVariableW(L"PATH", &wide_path[0], path_size);
    const std::string path = narrow(wide_path.data(), got < path_size ? got : 0);
    std::string::size_type start = 0;
    while (start <= path.size()) {
      const std::string::size_type end = path.find(';', start);
      folders.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  const std::string current = full_folder_path(current_directory());
  std::vector<std::string> candidates;
  for (const std::string& folder : folders) {
    if (!is_absolute(folder)) continue;  // a relative entry would name the current directory
    const std::string full = full_folder_path(folder);
    if (full.empty() || (!current.empty() && ::lstrcmpiW(widen(full).c_str(), widen(current).c_str()) == 0)) continue;
    const std::string candidate = joined(full, file_name);
    if (candidate.empty()) continue;
    const DWORD attributes = ::GetFileAttributesW(widen(candidate).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    candidates.push_back(candidate);
  }
  return candidates;
}

HMODULE load_from_driver_folders(LoadLibraryExFn load, const char* file_name) {
  for (const std::string& candidate : driver_folder_candidates(file_name))
    if (HMODULE module = load_by_path(load, candidate)) return module;
  return nullptr;
}

// The bitness of the file at `path` (unknown when there is none or it is no image).
ImageBitness file_bitness(const std::string& path) {
  if (path.empty()) return ImageBitness::unknown;
  UniqueHandle file(::CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  if (!file) return ImageBitness::unknown;
  std::uint8_t head[4096];
  DWORD read = 0;
  if (!::ReadFile(file.get(), head, sizeof head, &read, nullptr)) return ImageBitness::unknown;
  return image_bitness(head, read);
}

HMODULE find_library(const LibrarySearch& search) {
  const LoadLibraryExFn load = search.load_library ? search.load_library : &system_load_library;
  // The current directory holds files a user downloaded: a library planted there is
  // never loaded. The executable's folder and the system folder come first.
  HMODULE module = load(search.file_name, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module) return module;
  if (::GetLastError() == ERROR_INVALID_PARAMETER) {
    // A loader without the restricted search (Windows 7 lacking its loader
    // update): the same two folders, each by full path.
    module = load_by_path(load, joined(executable_folder(), search.file_name));
    if (!module) module = load_by_path(load, joined(system_folder(), search.file_name));
    if (module) return module;
  }
  return load_from_driver_folders(load, search.file_name);
}

}  // namespace

void exclude_current_directory_from_library_search() noexcept { ::SetDllDirectoryA(""); }

ImageBitness foreign_library_bitness(const char* file_name) noexcept {
  try {
    // The places the loader looks, in its order: the first library found there is
    // the one a load failed on.
    std::vector<std::string> candidates = {joined(executable_folder(), file_name), joined(system_folder(), file_name)};
    for (std::string& path : driver_folder_candidates(file_name)) candidates.push_back(std::move(path));
    for (const std::string& path : candidates) {
      const ImageBitness bitness = file_bitness(path);
      if (bitness != ImageBitness::unknown) return bitness == kOwnBitness ? ImageBitness::unknown : bitness;
    }
  } catch (const std::bad_alloc&) {
  }
  return ImageBitness::unknown;
}

std::string library_failure_text(const std::string& first_line, ImageBitness foreign) {
  switch (foreign) {
    case ImageBitness::bits32: return first_line + "\n" + LangText(text::kLibraryIs32Bit);
    case ImageBitness::bits64: return first_line + "\n" + LangText(text::kLibraryIs64Bit);
    case ImageBitness::unknown: break;
  }
  return first_line;
}

std::optional<PipeLibrary> PipeLibrary::load() { return load(LibrarySearch{}); }

std::optional<PipeLibrary> PipeLibrary::load(const LibrarySearch& search) {
  HMODULE module = find_library(search);
  if (!module) return std::nullopt;
  UniqueModule owned(module);
  const char* open_dev_name = nullptr;
  const char* open_file_name = nullptr;
  ExportFn open_dev = find_export(module, kOpenDevNames, &open_dev_name);
  ExportFn open_file = find_export(module, kOpenFileNames, &open_file_name);
  if (!open_dev || !open_file) return std::nullopt;
  return PipeLibrary(std::move(owned), open_dev, open_dev_name, open_file, open_file_name);
}

std::string PipeLibrary::path() const {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(module_.get(), path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? narrow(path, n) : std::string();
}

HANDLE PipeLibrary::open_dev() const noexcept {
  // Without an argument the two conventions leave the stack alike.
  return reinterpret_cast<HANDLE(__cdecl*)()>(open_dev_)();
}

HANDLE PipeLibrary::open_file(const char* pipe_name) const noexcept {
  char name[32] = {};  // the library takes the name from a 32-byte buffer
  lstrcpynA(name, pipe_name, sizeof name);
#if defined(_M_IX86) || defined(__i386__)
  return pw_call_open_file_i686(open_file_, name);
#else
  return reinterpret_cast<HANDLE (*)(const char*)>(open_file_)(name);
#endif
}

std::optional<HANDLE> open_pipe_once(const char* pipe_name) {
  std::optional<PipeLibrary> library = PipeLibrary::load();
  if (!library) return std::nullopt;
  return library->open_file(pipe_name);
}

}  // namespace pw
