#include <windows.h>

#include <optional>

#include "lang/lang_lookup.h"
#include "lang/lang_text.h"
#include "lang/utf.h"
#include "win/handles.h"
#include "win/module_path.h"
#include "win/wide_text.h"

namespace pw {

namespace {

// A language file is a few kilobytes; anything past this is not one.
constexpr DWORD kLargestLanguageFile = 16u << 20;

// The whole file, or nullopt when it cannot be read.
std::optional<std::string> read_whole_file(const std::string& path) {
  UniqueHandle file(::CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  if (!file) return std::nullopt;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > kLargestLanguageFile) return std::nullopt;
  std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!bytes.empty() && !::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
    return std::nullopt;
  bytes.resize(read);
  return bytes;
}

// A file that is neither marked nor valid UTF-8 is in the system's code page.
std::u16string decode_system_ansi(std::string_view bytes) {
  const std::wstring wide = widen_from(CP_ACP, bytes);
  return std::u16string(wide.begin(), wide.end());
}

}  // namespace

std::string lang_file_path() {
  const std::string folder = executable_folder();
  if (folder.empty()) return std::string();
  return folder + "lang.ini";
}

std::string LangText(const char* section, const char* key) { return read_lang_text(lang_file_path(), section, key); }

std::string read_lang_text(const std::string& path, const char* section, const char* key) {
  const std::optional<std::string> bytes = path.empty() ? std::nullopt : read_whole_file(path);
  const std::optional<std::string_view> contents =
      bytes ? std::optional<std::string_view>(*bytes) : std::optional<std::string_view>();
  return utf16_to_utf8(lang_text_from(contents, section, key, &decode_system_ansi));
}

std::string LangText(const char* section, int key) {
  char key_text[16];
  wsprintfA(key_text, "%d", key);
  return LangText(section, key_text);
}

}  // namespace pw
