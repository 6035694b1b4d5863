#pragma once
// The test links' scripted system settings: the text of the file an environment
// variable names, read at each call so a test can change it while the program runs.
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

namespace pw {

// The file's first line, or nothing without the variable or a readable file.
inline std::optional<std::string> scripted_setting(const char* variable) {
  char path[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableA(variable, path, sizeof path);
  if (length == 0 || length >= sizeof path) return std::nullopt;
  std::FILE* file = std::fopen(path, "r");
  if (!file) return std::nullopt;
  char line[128] = {};
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read) return std::nullopt;
  return std::string(line);
}

}  // namespace pw
