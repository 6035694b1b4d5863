#include "win/module_path.h"

#include <windows.h>

namespace pw {

std::string executable_path() {
  char buffer[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return std::string(buffer, n);
}

std::string executable_folder() {
  std::string path = executable_path();
  const std::string::size_type slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return std::string();
  path.resize(slash + 1);
  return path;
}

std::string current_directory() {
  char buffer[MAX_PATH];
  const DWORD n = ::GetCurrentDirectoryA(MAX_PATH, buffer);
  if (n == 0 || n >= MAX_PATH) return std::string();
  return std::string(buffer, n);
}

}  // namespace pw
