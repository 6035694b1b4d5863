#include "lang/ini_reader.h"

#include "lang/utf.h"

namespace pw {

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16leMark = "\xFF\xFE";
constexpr std::string_view kUtf16beMark = "\xFE\xFF";

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Blanks as the system's reader sees them: ASCII white space and ^Z, the old
// end-of-file mark some editors leave behind.
bool is_blank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f' || c == 0x1A; }

std::u16string_view trim(std::u16string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

std::u16string_view unquote(std::u16string_view s) {
  if (s.size() >= 2 && (s.front() == u'"' || s.front() == u'\'') && s.back() == s.front()) return s.substr(1, s.size() - 2);
  return s;
}

std::u16string decode_utf16(std::string_view bytes, bool little_endian) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto b0 = static_cast<unsigned char>(bytes[2 * i]);
    const auto b1 = static_cast<unsigned char>(bytes[2 * i + 1]);
    out[i] = static_cast<char16_t>(little_endian ? (b0 | b1 << 8) : (b0 << 8 | b1));
  }
  return out;
}

char16_t ascii_lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

}  // namespace

IniEncoding detect_ini_encoding(std::string_view file_bytes) {
  if (starts_with(file_bytes, kUtf8Mark)) return IniEncoding::utf8_with_mark;
  if (starts_with(file_bytes, kUtf16leMark)) return IniEncoding::utf16le;
  if (starts_with(file_bytes, kUtf16beMark)) return IniEncoding::utf16be;
  return is_valid_utf8(file_bytes) ? IniEncoding::utf8 : IniEncoding::ansi;
}

std::u16string decode_ini_file(std::string_view file_bytes, AnsiDecoder decode_ansi) {
  switch (detect_ini_encoding(file_bytes)) {
    case IniEncoding::utf8:
      return utf8_to_utf16(file_bytes);
    case IniEncoding::utf8_with_mark:
      return utf8_to_utf16(file_bytes.substr(kUtf8Mark.size()));
    case IniEncoding::utf16le:
      return decode_utf16(file_bytes.substr(kUtf16leMark.size()), true);
    case IniEncoding::utf16be:
      return decode_utf16(file_bytes.substr(kUtf16beMark.size()), false);
    case IniEncoding::ansi:
      break;
  }
  if (decode_ansi) return decode_ansi(file_bytes);
  std::u16string latin1(file_bytes.size(), u'\0');
  for (std::size_t i = 0; i < file_bytes.size(); ++i) latin1[i] = static_cast<unsigned char>(file_bytes[i]);
  return latin1;
}

std::vector<IniSection> parse_ini(std::u16string_view text) {
  std::vector<IniSection> sections;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of(u"\r\n");
    std::u16string_view line = text.substr(0, end);
    text.remove_prefix(end == std::u16string_view::npos ? text.size() : end + 1);

    line = trim(line.substr(0, line.find(u'\0')));
    if (line.empty() || line.front() == u';') continue;
    if (line.front() == u'[') {
      const std::size_t close = line.rfind(u']');
      if (close != std::u16string_view::npos) {
        sections.push_back({std::u16string(trim(line.substr(1, close - 1))), {}});
        continue;
      }
    }
    if (sections.empty()) continue;
    const std::size_t eq = line.find(u'=');
    if (eq == std::u16string_view::npos) {
      sections.back().keys.push_back({std::u16string(line), std::u16string(), false});
      continue;
    }
    sections.back().keys.push_back(
        {std::u16string(trim(line.substr(0, eq))), std::u16string(unquote(trim(line.substr(eq + 1)))), true});
  }
  return sections;
}

std::u16string cut_ini_value(std::u16string_view value) {
  if (value.size() <= kIniValueLimit) return std::u16string(value);
  std::size_t length = kIniValueLimit;
  if (is_high_surrogate(value[length - 1]) && is_low_surrogate(value[length])) --length;
  return std::u16string(value.substr(0, length));
}

bool ini_name_matches(std::u16string_view name, std::string_view ascii) {
  if (name.size() != ascii.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (ascii_lower(name[i]) != ascii_lower(static_cast<unsigned char>(ascii[i]))) return false;
  return true;
}

std::optional<std::u16string> read_ini_text(std::optional<std::string_view> file_bytes, std::string_view section,
                                            std::string_view key, AnsiDecoder decode_ansi) {
  if (!file_bytes || section.empty() || key.empty()) return std::nullopt;
  for (const IniSection& s : parse_ini(decode_ini_file(*file_bytes, decode_ansi))) {
    if (!ini_name_matches(s.name, section)) continue;
    for (const IniKey& k : s.keys) {
      if (!ini_name_matches(k.name, key)) continue;
      if (!k.has_value) return std::nullopt;
      return cut_ini_value(k.value);
    }
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace pw
