// The language file reader: one table of cases, each read from the same file
// written in every encoding the reader accepts.
#include "lang/ini_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "lang/builtin_texts.h"
#include "lang/lang_lookup.h"
#include "lang/utf.h"
#include "tests/native/code_pages.h"

namespace {

// A piece of text as it stands in the file (narrow encodings) and as the reader
// must return it. The two forms are written out separately, so the encoding under
// test is never produced by the code under test.
struct Piece {
  std::string bytes;
  std::u16string text;
};

struct Encoding {
  const char* name;
  std::string mark;
  enum Form { narrow, utf16le, utf16be } form;
  pw::AnsiDecoder system_code_page;
  Piece word;    // a few words in letters typical of the encoding
  Piece letter;  // one UTF-16 unit, for long values
  std::optional<Piece> pair;  // a character outside the BMP, where the encoding has one
};

const Piece kEmojiUtf8{"\xF0\x9F\x98\x80", u"\U0001F600"};

const std::vector<Encoding>& encodings() {
  static const std::vector<Encoding> all = {
      {"utf8", "", Encoding::narrow, code_page::decode_1252, {"업데이트 완료", u"업데이트 완료"}, {"ж", u"ж"}, kEmojiUtf8},
      {"utf8_with_mark", "\xEF\xBB\xBF", Encoding::narrow, code_page::decode_1251, {"Обновление завершено", u"Обновление завершено"},
       {"é", u"é"}, kEmojiUtf8},
      {"utf16le", "\xFF\xFE", Encoding::utf16le, code_page::decode_1252, {"", u"업데이트 완료"}, {"", u"한"}, Piece{"", u"\U0001F600"}},
      {"utf16be", "\xFE\xFF", Encoding::utf16be, code_page::decode_1251, {"", u"Mise à jour terminée"}, {"", u"ж"},
       Piece{"", u"\U00020000"}},
      {"windows1252", "", Encoding::narrow, code_page::decode_1252,
       {"Mise \xE0 jour termin\xE9" "e", u"Mise à jour terminée"}, {"\xE9", u"é"}, std::nullopt},
      {"windows1251", "", Encoding::narrow, code_page::decode_1251,
       {"\xCE\xE1\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5 \xE7\xE0\xE2\xE5\xF0\xF8\xE5\xED\xEE", u"Обновление завершено"},
       {"\xE6", u"ж"}, std::nullopt},
  };
  return all;
}

// Bytes that are no text in any of the encodings: NUL, bytes no UTF-8 sequence
// starts with, an encoded surrogate, a cut sequence, and in UTF-16 a lone high and
// a lone low surrogate. An even count keeps UTF-16 units aligned, and none of the
// bytes is '\n', '\r', '[', ']', '=' or ';', so the junk forms no line or section.
const std::string kJunk("\x00\xFF\xFE\x80\xED\xA0\x80\xC3\x01\xD8\x41\x00\x00\xDC\xF4\x90\x7F\x1A\xE1\x80", 20);

// File and expectation are written with these marks: {w} the encoding's words, {xN}
// N letters, {p} the pair, {j} junk bytes (file only), {0} a NUL character.
struct Case {
  const char* name;
  const char* file;
  const char* section;
  const char* key;
  const char* expected;  // nullptr: missing
  bool needs_pair = false;
  bool no_file = false;
};

const Case kCases[] = {
    {"crlf_lines", "[message]\r\n1021={w}\r\n", "message", "1021", "{w}"},
    {"lf_lines", "[title]\n100={w}\n", "title", "100", "{w}"},
    {"cr_lines", "[title]\r100={w}\r", "title", "100", "{w}"},
    {"no_final_newline", "[message]\n1021={w}", "message", "1021", "{w}"},
    {"section_in_other_case", "[MeSSaGe]\r\n1021={w}\r\n", "message", "1021", "{w}"},
    {"asked_in_capitals", "[message]\r\n1021={w}\r\n", "MESSAGE", "1021", "{w}"},
    {"key_in_other_case", "[info]\r\nVersion={w}\r\n", "INFO", "vERSION", "{w}"},
    {"blanks_around_names_and_value", "  [ message ]  \r\n \t 1021 \t=  \t{w} \t \r\n", "message", "1021", "{w}"},
    {"blanks_inside_value_stay", "[message]\r\n1021=  {w}  {w}  \r\n", "message", "1021", "{w}  {w}"},
    {"double_quotes_go", "[message]\r\n1021=  \"  {w}  \"  \r\n", "message", "1021", "  {w}  "},
    {"single_quotes_go", "[message]\r\n1021='{w}'\r\n", "message", "1021", "{w}"},
    {"only_one_pair_of_quotes_goes", "[message]\r\n1021=\"\"{w}\"\"\r\n", "message", "1021", "\"{w}\""},
    {"mismatched_quotes_stay", "[message]\r\n1021=\"{w}'\r\n", "message", "1021", "\"{w}'"},
    {"a_lone_quote_stays", "[message]\r\n1021=\"\r\n", "message", "1021", "\""},
    {"empty_value_is_not_missing", "[message]\r\n1021=\r\n", "message", "1021", ""},
    {"empty_quotes_are_an_empty_value", "[message]\r\n1021=''\r\n", "message", "1021", ""},
    {"equals_sign_inside_value", "[message]\r\n1021=a={w}\r\n", "message", "1021", "a={w}"},
    {"missing_section", "[control]\r\n1001={w}\r\n", "message", "1021", nullptr},
    {"missing_key", "[message]\r\n1022={w}\r\n", "message", "1021", nullptr},
    {"key_only_in_another_section", "[control]\r\n1021={w}\r\n[message]\r\n1022=x\r\n", "message", "1021", nullptr},
    {"key_before_every_section", "1021={w}\r\n[message]\r\n", "message", "1021", nullptr},
    {"comment_line", "[message]\r\n;1021=x\r\n  ; 1021=y\r\n1021={w}\r\n", "message", "1021", "{w}"},
    {"only_a_comment", "[message]\r\n;1021={w}\r\n", "message", "1021", nullptr},
    {"first_key_wins", "[message]\r\n1021={w}\r\n1021=second\r\n", "message", "1021", "{w}"},
    {"first_section_wins", "[message]\r\n1021={w}\r\n[message]\r\n1021=second\r\n", "message", "1021", "{w}"},
    {"later_section_of_same_name_unread", "[message]\r\n1022=x\r\n[MESSAGE]\r\n1021={w}\r\n", "message", "1021",
     nullptr},
    {"key_without_equals_gives_no_value", "[message]\r\n1021\r\n1021={w}\r\n", "message", "1021", nullptr},
    {"text_after_section_bracket", "[message] ; texts\r\n1021={w}\r\n", "message", "1021", "{w}"},
    {"nul_ends_the_line", "[message]\r\n1021={w}{0}tail\r\n", "message", "1021", "{w}"},
    {"end_of_file_mark_is_a_blank", "[message]\r\n1021={w}\x1A", "message", "1021", "{w}"},
    {"value_of_259_units_kept", "[message]\r\n1021={x259}\r\n", "message", "1021", "{x259}"},
    {"long_value_cut_to_259", "[message]\r\n1021={x300}\r\n", "message", "1021", "{x259}"},
    {"long_quoted_value_cut_to_259", "[message]\r\n1021=\"{x300}\"\r\n", "message", "1021", "{x259}"},
    {"pair_across_the_cut_is_dropped", "[message]\r\n1021={x258}{p}{x40}\r\n", "message", "1021", "{x258}", true},
    {"pair_ending_at_the_cut_is_kept", "[message]\r\n1021={x257}{p}{x40}\r\n", "message", "1021", "{x257}{p}", true},
    {"binary_junk_around_the_key", "[{j}]\r\n1021=no\r\n[message]\r\n{j}\r\n{j}={j}\r\n1021=ok\r\n{j}", "message",
     "1021", "ok"},
    {"empty_file", "", "message", "1021", nullptr},
    {"empty_names_never_match", "[]\r\n=x\r\n", "", "", nullptr},
    {"no_file", "", "message", "1021", nullptr, false, true},
};

// Expands the marks of `pattern` for `encoding`: into its file bytes (without the
// mark) and into the text the reader must return.
struct Expanded {
  std::string bytes;
  std::u16string text;
};

void append(Expanded& out, const Encoding& e, const Piece& piece) {
  out.text += piece.text;
  if (e.form == Encoding::narrow) {
    out.bytes += piece.bytes;
    return;
  }
  for (char16_t unit : piece.text) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    out.bytes += e.form == Encoding::utf16le ? std::string{low, high} : std::string{high, low};
  }
}

Expanded expand(const Encoding& e, const std::string& pattern) {
  Expanded out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '{') {
      const char c = pattern[i];
      append(out, e, Piece{std::string(1, c), std::u16string(1, static_cast<char16_t>(c))});
      continue;
    }
    const std::size_t close = pattern.find('}', i);
    const std::string mark = pattern.substr(i + 1, close - i - 1);
    i = close;
    if (mark == "w") {
      append(out, e, e.word);
    } else if (mark == "p") {
      append(out, e, *e.pair);
    } else if (mark == "0") {
      append(out, e, Piece{std::string(1, '\0'), std::u16string(1, u'\0')});
    } else if (mark == "j") {
      out.bytes += kJunk;
    } else {
      for (int n = std::stoi(mark.substr(1)); n > 0; --n) append(out, e, e.letter);
    }
  }
  return out;
}

std::string case_label(const Encoding& e, const Case& c) { return std::string(e.name) + "/" + c.name; }

TEST(IniReader, EveryCaseReadsTheSameInEveryEncoding) {
  for (const Encoding& e : encodings()) {
    for (const Case& c : kCases) {
      if (c.needs_pair && !e.pair) continue;
      const std::string file = e.mark + expand(e, c.file).bytes;
      const std::optional<std::string_view> bytes = c.no_file ? std::nullopt : std::optional<std::string_view>(file);
      const std::optional<std::u16string> got = pw::read_ini_text(bytes, c.section, c.key, e.system_code_page);
      if (!c.expected) {
        EXPECT_FALSE(got.has_value()) << case_label(e, c) << " gave " << pw::utf16_to_utf8(got.value_or(u""));
        continue;
      }
      const std::u16string want = expand(e, c.expected).text;
      if (!got) {
        ADD_FAILURE() << case_label(e, c) << " is missing";
        continue;
      }
      EXPECT_EQ(*got, want) << case_label(e, c) << ": got \"" << pw::utf16_to_utf8(*got) << "\"";
    }
  }
}

TEST(IniReader, EncodingIsTakenFromTheMarkOrFromWhetherTheFileIsValidUtf8) {
  using pw::IniEncoding;
  EXPECT_EQ(pw::detect_ini_encoding(""), IniEncoding::utf8);
  EXPECT_EQ(pw::detect_ini_encoding("[title]\r\n100=Pushwell\r\n"), IniEncoding::utf8);
  EXPECT_EQ(pw::detect_ini_encoding("100=Caf\xC3\xA9"), IniEncoding::utf8);
  EXPECT_EQ(pw::detect_ini_encoding("100=Caf\xE9"), IniEncoding::ansi);
  EXPECT_EQ(pw::detect_ini_encoding("100=\xC3"), IniEncoding::ansi) << "a cut sequence at the end";
  EXPECT_EQ(pw::detect_ini_encoding("\xEF\xBB\xBF" "100=\xE9"), IniEncoding::utf8_with_mark);
  EXPECT_EQ(pw::detect_ini_encoding("\xFF\xFE"), IniEncoding::utf16le);
  EXPECT_EQ(pw::detect_ini_encoding("\xFE\xFF"), IniEncoding::utf16be);
  EXPECT_EQ(pw::detect_ini_encoding("\xEF\xBB"), IniEncoding::ansi) << "half a mark is no mark";
}

TEST(IniReader, OneBadByteMakesTheWholeUnmarkedFileAnsi) {
  // The value is valid UTF-8, but a byte elsewhere is not: the file is read in the
  // code page, so both bytes of the é become letters of their own.
  const std::string file = "[message]\r\n1021=Caf\xC3\xA9\r\n1022=\x81\r\n";
  EXPECT_EQ(pw::read_ini_text(file, "message", "1021", code_page::decode_1252), u"Caf\u00C3\u00A9");
  EXPECT_EQ(pw::read_ini_text(file, "message", "1021", code_page::decode_1251), u"CafГ©");
  EXPECT_EQ(pw::read_ini_text(file, "message", "1021", nullptr), u"Caf\u00C3\u00A9") << "no decoder: ISO 8859-1";
  EXPECT_EQ(pw::read_ini_text(file.substr(0, file.size() - 8), "message", "1021", code_page::decode_1252), u"Café");
}

TEST(IniReader, MarkedFilesNeverFallBackToTheCodePage) {
  EXPECT_EQ(pw::read_ini_text("\xEF\xBB\xBF[m]\r\n1=\xE9t\xC3\xA9\r\n", "m", "1", code_page::decode_1252),
            u"\uFFFDt\u00E9");
  // A last odd byte of UTF-16 is dropped, not read as half a character.
  EXPECT_EQ(pw::read_ini_text(std::string("\xFF\xFE[\0m\0]\0\n\0" "1\0=\0\x16\xD5\x41", 17), "m", "1", nullptr),
            u"\uD516");
}

TEST(IniReader, ParseKeepsDuplicatesAndKeysWithoutValues) {
  const auto sections = pw::parse_ini(u"k=before\n[a]\nx = 1\nx=2\nbare\n[A]\ny='3'\n");
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_EQ(sections[0].name, u"a");
  ASSERT_EQ(sections[0].keys.size(), 3u);
  EXPECT_EQ(sections[0].keys[0].name, u"x");
  EXPECT_EQ(sections[0].keys[1].value, u"2");
  EXPECT_EQ(sections[0].keys[2].name, u"bare");
  EXPECT_FALSE(sections[0].keys[2].has_value);
  EXPECT_TRUE(sections[0].keys[1].has_value);
  EXPECT_EQ(sections[1].name, u"A");
  EXPECT_EQ(sections[1].keys.at(0).value, u"3");
}

TEST(LangTextFrom, BuiltInWordingOnlyWhenTheFileLacksTheKey) {
  const std::u16string builtin_2001 = pw::utf8_to_utf16(pw::builtin_text("message", "2001"));
  ASSERT_FALSE(builtin_2001.empty());
  const std::string file = "\xEF\xBB\xBF[message]\r\n2002=Сбой\r\n2003=\r\n1021=Нет связи\r\n";
  EXPECT_EQ(pw::lang_text_from(file, "message", "2002", nullptr), u"Сбой");
  EXPECT_EQ(pw::lang_text_from(file, "message", "2003", nullptr), u"") << "an empty value is the translator's choice";
  EXPECT_EQ(pw::lang_text_from(file, "message", "2001", nullptr), builtin_2001);
  EXPECT_EQ(pw::lang_text_from(std::nullopt, "message", "2001", nullptr), builtin_2001) << "no file";
  EXPECT_EQ(pw::lang_text_from(file, "message", "1021", nullptr), u"Нет связи");
  EXPECT_EQ(pw::lang_text_from(file, "message", "1022", nullptr), u"") << "original keys have no built-in wording";
  EXPECT_EQ(pw::lang_text_from(file, "control", "2001", nullptr), u"");
  EXPECT_EQ(pw::lang_text_from(file, nullptr, "2001", nullptr), u"");
}

}  // namespace
