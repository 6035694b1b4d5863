#pragma once
// Reader of Windows initialisation file contents (lang.ini), with the reading rules
// of the system's profile reader, for files in UTF-8 (with or without its mark),
// UTF-16 with its mark, or the system's ANSI code page.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw {

// Decodes bytes in the system's ANSI code page. On Windows that is
// MultiByteToWideChar(CP_ACP); tests pass fixed code page tables.
using AnsiDecoder = std::u16string (*)(std::string_view bytes);

enum class IniEncoding { utf8, utf8_with_mark, utf16le, utf16be, ansi };

// From the byte order mark; a file without one is UTF-8 when all of it is valid
// UTF-8 (plain ASCII included), otherwise ANSI.
IniEncoding detect_ini_encoding(std::string_view file_bytes);

// The whole file as text, its mark dropped. Malformed UTF-8 and a trailing odd byte
// of UTF-16 never fail: they become U+FFFD or are dropped. A null decoder reads
// ANSI bytes as ISO 8859-1.
std::u16string decode_ini_file(std::string_view file_bytes, AnsiDecoder decode_ansi);

struct IniKey {
  std::u16string name;
  std::u16string value;  // surrounding blanks and one pair of matching quotes removed; not cut
  bool has_value;        // false for a line without '=', which names a key but gives it no value
};
struct IniSection {
  std::u16string name;
  std::vector<IniKey> keys;  // in file order, duplicates kept
};

// Every section in file order, duplicates kept. Lines end with \r\n, \n or a lone
// \r; a line starting with ';' is a comment; lines before the first section belong
// to none; a NUL character ends its line. A section line is '[' up to the last ']'
// of the line, the name trimmed of blanks.
std::vector<IniSection> parse_ini(std::u16string_view text);

// A value is cut to this many UTF-16 units, one fewer when the cut would split a
// surrogate pair: a 260-unit buffer and its terminator.
inline constexpr std::size_t kIniValueLimit = 259;
std::u16string cut_ini_value(std::u16string_view value);

// True when `name` (from the file) equals `ascii` without regard to ASCII case.
bool ini_name_matches(std::u16string_view name, std::string_view ascii);

// The value of `key` in `section`, cut to kIniValueLimit; nullopt when there is no
// file (file_bytes is nullopt), no such section or no such key. As in the system's
// reader only the first section of that name is searched, its first key of that
// name wins, and a first key without '=' gives no value. An empty section or key
// name is never found.
std::optional<std::u16string> read_ini_text(std::optional<std::string_view> file_bytes, std::string_view section,
                                            std::string_view key, AnsiDecoder decode_ansi);

}  // namespace pw
