// The language file reader on arbitrary bytes: every lookup ends, a value never
// exceeds the text buffer nor splits a surrogate pair, and the same text answers
// the same whether it arrives as UTF-16 (either byte order) or, when it is UTF-8,
// with or without its mark. The UTF conversions round-trip well-formed text and
// always produce well-formed text.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lang/ini_reader.h"
#include "lang/text_keys.h"
#include "lang/utf.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/native/code_pages.h"

namespace {

bool well_formed_utf16(std::u16string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (pw::is_high_surrogate(s[i]) && i + 1 < s.size() && pw::is_low_surrogate(s[i + 1])) {
      ++i;
    } else if (pw::is_high_surrogate(s[i]) || pw::is_low_surrogate(s[i])) {
      return false;
    }
  }
  return true;
}

std::string as_utf16(std::u16string_view text, bool little_endian) {
  std::string out = little_endian ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    out += little_endian ? std::string{low, high} : std::string{high, low};
  }
  return out;
}

void check_utf(std::string_view bytes) {
  const std::u16string wide = pw::utf8_to_utf16(bytes);
  FUZZ_CHECK(well_formed_utf16(wide));
  FUZZ_CHECK(wide.size() <= bytes.size());
  const std::string back = pw::utf16_to_utf8(wide);
  FUZZ_CHECK(pw::is_valid_utf8(back));
  if (pw::is_valid_utf8(bytes)) FUZZ_CHECK(back == bytes);

  // The bytes taken as UTF-16 units, lone surrogates and all.
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) | static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  const std::string narrow = pw::utf16_to_utf8(units);
  FUZZ_CHECK(pw::is_valid_utf8(narrow));
  const std::u16string again = pw::utf8_to_utf16(narrow);
  if (well_formed_utf16(units)) FUZZ_CHECK(again == units);
  FUZZ_CHECK(again.size() == units.size());  // a lone surrogate becomes one U+FFFD

  const std::u16string cut = pw::cut_ini_value(units);
  FUZZ_CHECK(cut.size() <= pw::kIniValueLimit);
  FUZZ_CHECK(units.compare(0, cut.size(), cut) == 0);
  if (cut.size() < pw::kIniValueLimit && cut.size() < units.size()) {
    FUZZ_CHECK(cut.size() == pw::kIniValueLimit - 1);
    FUZZ_CHECK(pw::is_high_surrogate(units[cut.size()]) && pw::is_low_surrogate(units[cut.size() + 1]));
  }
}

void check_value(const std::optional<std::u16string>& value) {
  if (!value) return;
  FUZZ_CHECK(value->size() <= pw::kIniValueLimit);
  FUZZ_CHECK(value->find_first_of(std::u16string_view(u"\r\n\0", 3)) == std::u16string::npos);
}

// Each lookup parses the whole file again (as the program does), so a handful of
// names keeps the fuzzer fast: a few the program asks for, then the first ASCII
// names the file itself holds.
void check_lookups(std::string_view file) {
  const std::u16string text = pw::decode_ini_file(file, nullptr);
  const std::vector<pw::IniSection> sections = pw::parse_ini(text);

  std::vector<std::pair<std::string, std::string>> lookups;
  for (const pw::TextKey& k : {pw::text::kWindowCaption, pw::text::kDeviceNotLinked, pw::text::kTransferFailed})
    lookups.emplace_back(k.section, std::to_string(k.key));
  const auto ascii = [](std::u16string_view s, std::string& out) {
    out.clear();
    for (char16_t c : s) {
      if (c == 0 || c >= 0x80) return false;
      out.push_back(static_cast<char>(c));
    }
    return true;
  };
  const std::u16string_view line_breaks(u"\r\n\0", 3);
  std::string section_name, key_name;
  for (const pw::IniSection& s : sections) {
    FUZZ_CHECK(s.name.find_first_of(line_breaks) == std::u16string::npos);
    const bool usable = ascii(s.name, section_name);
    for (const pw::IniKey& k : s.keys) {
      FUZZ_CHECK(k.name.find_first_of(line_breaks) == std::u16string::npos);
      if (usable && lookups.size() < 10 && ascii(k.name, key_name)) lookups.emplace_back(section_name, key_name);
    }
  }

  const std::string little = as_utf16(text, true), big = as_utf16(text, false);
  const bool utf8 = pw::detect_ini_encoding(file) == pw::IniEncoding::utf8;
  const std::string marked = "\xEF\xBB\xBF" + std::string(file);
  for (const auto& [section, key] : lookups) {
    const std::optional<std::u16string> value = pw::read_ini_text(file, section, key, nullptr);
    check_value(value);
    FUZZ_CHECK(pw::read_ini_text(little, section, key, nullptr) == value);
    FUZZ_CHECK(pw::read_ini_text(big, section, key, nullptr) == value);
    if (utf8) FUZZ_CHECK(pw::read_ini_text(marked, section, key, nullptr) == value);
    // Another code page changes letters, never where lines, names and values lie.
    const std::optional<std::u16string> in_1251 = pw::read_ini_text(file, section, key, code_page::decode_1251);
    check_value(in_1251);
    FUZZ_CHECK(in_1251.has_value() == value.has_value());
    if (value) FUZZ_CHECK(in_1251->size() == value->size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  check_utf(file);
  check_lookups(file);
  return 0;
}
