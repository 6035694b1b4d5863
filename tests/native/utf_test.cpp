// UTF-8 and UTF-16 conversions: the forms at every length boundary, and malformed
// input replaced the way the Unicode standard recommends.
#include "lang/utf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct WellFormed {
  const char* utf8;
  std::u16string utf16;
};

// Both forms written out by hand, at the edges of each sequence length.
const WellFormed kWellFormed[] = {
    {"", u""},
    {"A~\x7F", u"A~\u007F"},
    {"\xC2\x80\xC3\xA9\xDF\xBF", u"\u0080\u00E9\u07FF"},
    {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\xEF\xBF\xBF", u"\u0800\uD7FF\uE000\uFFFD\uFFFF"},
    {"\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", u"\U00010000\U0001F600\U0010FFFF"},
    {"\xD0\xAF\xD0\xB7\xD1\x8B\xD0\xBA: \xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4", u"Язык: 한국어"},
};

TEST(Utf, WellFormedTextConvertsBothWaysUnchanged) {
  for (const WellFormed& c : kWellFormed) {
    EXPECT_EQ(pw::utf8_to_utf16(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(pw::utf16_to_utf8(c.utf16), c.utf8) << c.utf8;
    EXPECT_TRUE(pw::is_valid_utf8(c.utf8)) << c.utf8;
  }
  const std::string with_nul("x\0y", 3);
  EXPECT_EQ(pw::utf8_to_utf16(with_nul), std::u16string(u"x\0y", 3)) << "NUL is an ordinary character";
}

struct Malformed {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

const Malformed kMalformed[] = {
    {"stray_trail_byte", "a\x80" "b", u"a\uFFFDb"},
    {"bytes_no_sequence_starts_with", "\xC0\xC1\xF5\xFF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"overlong_slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
    {"overlong_three_bytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
    {"overlong_four_bytes", "\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"encoded_high_surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
    {"encoded_low_surrogate", "\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},
    {"above_10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"cut_two_of_three", "\xE1\x80" "A", u"\uFFFDA"},
    {"cut_three_of_four", "\xF0\x9F\x98" "A", u"\uFFFDA"},
    {"cut_at_the_end", "ok\xF0\x9F\x98", u"ok\uFFFD"},
    {"lead_after_lead", "\xC3\xC3\xA9", u"\uFFFD\u00E9"},
};

TEST(Utf, EachMaximalIllFormedSubsequenceBecomesOneReplacement) {
  for (const Malformed& c : kMalformed) {
    EXPECT_EQ(pw::utf8_to_utf16(c.utf8), c.utf16) << c.name;
    EXPECT_FALSE(pw::is_valid_utf8(c.utf8)) << c.name;
  }
}

TEST(Utf, UnpairedSurrogatesBecomeReplacements) {
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(pw::utf16_to_utf8(std::u16string{u'a', 0xD83D}), "a" + replacement) << "high at the end";
  EXPECT_EQ(pw::utf16_to_utf8(std::u16string{0xD83D, u'b'}), replacement + "b") << "high before no low";
  EXPECT_EQ(pw::utf16_to_utf8(std::u16string{0xDE00, 0xD83D}), replacement + replacement) << "low before high";
  EXPECT_EQ(pw::utf16_to_utf8(std::u16string{0xD83D, 0xD83D, 0xDE00}), replacement + "\xF0\x9F\x98\x80");
}

}  // namespace
