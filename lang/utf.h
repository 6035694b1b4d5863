#pragma once
// Conversions between UTF-8 and UTF-16, without the platform's help, so paths and
// texts convert the same way on every build.
#include <string>
#include <string_view>

namespace pw {

// Malformed input never fails a conversion: each maximal ill-formed subsequence of
// UTF-8 (overlong forms, encoded surrogates, code points above U+10FFFF, cut
// sequences, stray bytes) becomes one U+FFFD, and so does each unpaired surrogate
// of UTF-16. Well-formed input round-trips unchanged.
std::u16string utf8_to_utf16(std::string_view utf8);
std::string utf16_to_utf8(std::u16string_view utf16);

// True when every byte belongs to a well-formed UTF-8 sequence.
bool is_valid_utf8(std::string_view bytes);

// A name from outside (a line of a list a stranger may have written, a path given
// on the command line) as it may be shown in a terminal or the run's details:
// control characters (C0, DEL, C1), the marks that reorder text (U+202A to U+202E,
// U+2066 to U+2069) and bytes that are not UTF-8 become "\xHH" or "\u{HHHH}";
// everything else stays as it is.
std::string printable_text(std::string_view bytes);

inline constexpr char16_t kReplacementCharacter = u'\uFFFD';

inline bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace pw
