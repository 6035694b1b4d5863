#include "win/module_path.h"

#include <windows.h>

#include "win/wide_text.h"

namespace pw {

std::string executable_path() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return narrow(buffer, n);
}

std::string executable_folder() {
  std::string path = executable_path();
  const std::string::size_type slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return std::string();
  path.resize(slash + 1);
  return path;
}

std::string current_directory() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = ::GetCurrentDirectoryW(MAX_PATH, buffer);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return narrow(buffer, n);
}

}  // namespace pw
