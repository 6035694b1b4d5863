#pragma once
// The program holds its texts and paths as UTF-8; the system's wide functions
// take UTF-16. These convert at that boundary.
#include <string>
#include <string_view>

namespace pw {

// `bytes` in code page `code_page` (CP_UTF8, CP_ACP, ...) as UTF-16; empty
// when they cannot be converted.
std::wstring widen_from(unsigned code_page, std::string_view bytes);
inline std::wstring widen(const std::string& utf8) { return widen_from(65001 /* CP_UTF8 */, utf8); }
std::string narrow(const wchar_t* utf16, std::size_t units);
inline std::string narrow(const std::wstring& utf16) { return narrow(utf16.data(), utf16.size()); }

// How many UTF-16 units the system will see for `utf8`: the unit that the
// length limits of paths are counted in.
std::size_t utf16_length(const std::string& utf8);

}  // namespace pw
