#pragma once
// The program holds its texts and paths as UTF-8; the system's wide functions
// take UTF-16. These convert at that boundary.
#include <string>

namespace pw {

std::wstring widen(const std::string& utf8);
std::string narrow(const wchar_t* utf16, std::size_t units);
inline std::string narrow(const std::wstring& utf16) { return narrow(utf16.data(), utf16.size()); }

// How many UTF-16 units the system will see for `utf8`: the unit that the
// length limits of paths are counted in.
std::size_t utf16_length(const std::string& utf8);

}  // namespace pw
