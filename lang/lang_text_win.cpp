#include <windows.h>

#include <cstring>

#include "lang/builtin_texts.h"
#include "lang/lang_text.h"
#include "win/module_path.h"

namespace pw {

namespace {
// Returned for a missing key; no language file holds control characters like these,
// so it tells "missing" apart from a key whose value is empty.
constexpr char kMissing[] = "\x01\x02missing\x02\x01";
}  // namespace

std::string lang_file_path() {
  const std::string folder = executable_folder();
  if (folder.empty()) return std::string();
  return folder + "lang.ini";
}

std::string LangText(const char* section, const char* key) { return read_lang_text(lang_file_path(), section, key); }

std::string read_lang_text(const std::string& path, const char* section, const char* key) {
  const char* builtin = builtin_text(section, key);
  if (path.empty()) return builtin ? builtin : "";
  char buffer[MAX_PATH];  // 260 bytes: a longer value is cut to 259
  buffer[0] = '\0';
  ::GetPrivateProfileStringA(section, key, kMissing, buffer, sizeof buffer, path.c_str());
  if (std::strcmp(buffer, kMissing) == 0) return builtin ? builtin : "";
  return buffer;
}

std::string LangText(const char* section, int key) {
  char key_text[16];
  wsprintfA(key_text, "%d", key);
  return LangText(section, key_text);
}

}  // namespace pw
