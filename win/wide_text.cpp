#include "win/wide_text.h"

#include <windows.h>

namespace pw {

static_assert(CP_UTF8 == 65001, "widen() names the UTF-8 code page by its number");

std::wstring widen_from(unsigned code_page, std::string_view bytes) {
  if (bytes.empty()) return std::wstring();
  const int size = static_cast<int>(bytes.size());
  const int units = ::MultiByteToWideChar(code_page, 0, bytes.data(), size, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  ::MultiByteToWideChar(code_page, 0, bytes.data(), size, &wide[0], units);
  return wide;
}

std::string narrow(const wchar_t* utf16, std::size_t units) {
  if (units == 0) return std::string();
  const int count = static_cast<int>(units);
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, utf16, count, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, utf16, count, &utf8[0], bytes, nullptr, nullptr);
  return utf8;
}

std::size_t utf16_length(const std::string& utf8) {
  if (utf8.empty()) return 0;
  return static_cast<std::size_t>(
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0));
}

}  // namespace pw
