#include "lang/utf.h"

namespace pw {

namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes the sequence at `pos`, advancing past it, or past the maximal ill-formed
// subsequence when it is malformed (then the result is kInvalid).
char32_t next_code_point(std::string_view s, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(pos++);
  if (lead < 0x80) return lead;
  int trail_count;
  char32_t cp;
  // Allowed range of the first trail byte, which rules out overlong forms,
  // surrogates and values above U+10FFFF in one check.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail_count = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail_count = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail_count = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return kInvalid;
  }
  for (int i = 0; i < trail_count; ++i) {
    if (pos >= s.size()) return kInvalid;
    const unsigned char trail = byte(pos);
    if (trail < low || trail > high) return kInvalid;
    low = 0x80;
    high = 0xBF;
    cp = (cp << 6) | (trail & 0x3F);
    ++pos;
  }
  return cp;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    const char32_t cp = next_code_point(utf8, pos);
    if (cp == kInvalid) {
      out.push_back(kReplacementCharacter);
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (is_high_surrogate(utf16[i]) && i + 1 < utf16.size() && is_low_surrogate(utf16[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (is_high_surrogate(utf16[i]) || is_low_surrogate(utf16[i])) {
      cp = kReplacementCharacter;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();)
    if (next_code_point(bytes, pos) == kInvalid) return false;
  return true;
}

std::string printable_text(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t start = pos;
    const char32_t cp = next_code_point(bytes, pos);
    if (cp == kInvalid) {
      for (std::size_t i = start; i < pos; ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        out += "\\x";
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
      }
    } else if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0x202A && cp <= 0x202E) ||
               (cp >= 0x2066 && cp <= 0x2069)) {
      out += cp < 0x80 ? "\\x" : "\\u{";
      for (int shift = cp < 0x80 ? 4 : 12; shift >= 0; shift -= 4) out += kDigits[(cp >> shift) & 15];
      if (cp >= 0x80) out += '}';
    } else {
      out.append(bytes.data() + start, pos - start);
    }
  }
  return out;
}

}  // namespace pw
