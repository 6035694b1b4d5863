// Every shipped language file (lang.ini and each pack in resources/lang/) must word
// exactly the texts the program looks up, in UTF-8 that the reader takes as such,
// each short enough for the text buffer; and the English file must agree with the
// wording built into the executable for the newer keys.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lang/builtin_texts.h"
#include "lang/ini_reader.h"
#include "lang/text_keys.h"
#include "lang/utf.h"

namespace {

namespace fs = std::filesystem;

const fs::path kResources = fs::path(PUSHWELL_SOURCE_DIR) / "resources";

struct Pack {
  std::string name;  // relative to resources/
  std::string bytes;
  std::vector<pw::IniSection> sections;

  // The value of a key, or nullptr; the checks below make sure names are unique.
  const std::u16string* find(const char* section, const std::string& key) const {
    for (const pw::IniSection& s : sections)
      if (pw::ini_name_matches(s.name, section))
        for (const pw::IniKey& k : s.keys)
          if (pw::ini_name_matches(k.name, key) && k.has_value) return &k.value;
    return nullptr;
  }
  std::string text(const pw::TextKey& key) const {
    const std::u16string* value = find(key.section, std::to_string(key.key));
    return value ? pw::utf16_to_utf8(*value) : std::string();
  }
};

Pack load(const fs::path& path) {
  Pack pack;
  pack.name = fs::relative(path, kResources).generic_string();
  std::ifstream in(path, std::ios::binary);
  pack.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  pack.sections = pw::parse_ini(pw::decode_ini_file(pack.bytes, nullptr));
  return pack;
}

std::vector<Pack> shipped_packs() {
  std::vector<Pack> packs{load(kResources / "lang.ini")};
  std::vector<fs::path> paths;
  for (const fs::directory_entry& entry : fs::directory_iterator(kResources / "lang"))
    if (entry.path().extension() == ".ini") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) packs.push_back(load(path));
  return packs;
}

std::string ascii(const std::u16string& s) { return pw::utf16_to_utf8(s); }

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

TEST(ShippedLanguageFiles, AreUtf8AndWordExactlyTheKeysTheProgramLooksUp) {
  const std::vector<Pack> packs = shipped_packs();
  ASSERT_GE(packs.size(), 3u) << "lang.ini, ru.ini and ko.ini at least";
  std::set<std::pair<std::string, std::string>> known;
  for (const pw::TextKey& k : pw::text::kAll) known.insert({k.section, std::to_string(k.key)});

  for (const Pack& pack : packs) {
    SCOPED_TRACE(pack.name);
    const pw::IniEncoding encoding = pw::detect_ini_encoding(pack.bytes);
    EXPECT_TRUE(encoding == pw::IniEncoding::utf8 || encoding == pw::IniEncoding::utf8_with_mark)
        << "not valid UTF-8";

    std::set<std::pair<std::string, std::string>> present;
    std::set<std::string> section_names;
    for (const pw::IniSection& s : pack.sections) {
      EXPECT_TRUE(section_names.insert(lower(ascii(s.name))).second)
          << "[" << ascii(s.name) << "] appears twice; the reader reads only the first";
      for (const pw::IniKey& k : s.keys) {
        const std::string where = "[" + ascii(s.name) + "] " + ascii(k.name);
        EXPECT_TRUE(k.has_value) << where << " has no '='";
        EXPECT_TRUE(present.insert({lower(ascii(s.name)), lower(ascii(k.name))}).second) << where << " appears twice";
        EXPECT_TRUE(known.count({lower(ascii(s.name)), lower(ascii(k.name))})) << where << " is no key the program looks up";
        // Only the font face may be empty: the dialog's own font then stays.
        const bool may_be_empty = lower(ascii(s.name)) == "control" && ascii(k.name) == "1100";
        if (!may_be_empty) {
          EXPECT_FALSE(k.value.empty()) << where << " is empty";
        }
        EXPECT_LE(k.value.size(), pw::kIniValueLimit) << where << " would be cut";
        EXPECT_EQ(k.value.find(pw::kReplacementCharacter), std::u16string::npos) << where << " holds U+FFFD";
      }
    }
    for (const auto& key : known)
      EXPECT_TRUE(present.count(key)) << "[" << key.first << "] " << key.second << " is missing";
  }
}

// One '&' marks the access key; "&&" would show a plain ampersand instead.
int access_keys(const std::string& text) {
  int count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (i + 1 < text.size() && text[i + 1] == '&') {
      ++i;
      continue;
    }
    ++count;
  }
  return count;
}

std::vector<int> numbers_in(const std::string& text) {
  std::vector<int> numbers;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] < '0' || text[i] > '9') {
      ++i;
      continue;
    }
    const std::size_t end = text.find_first_not_of("0123456789", i);
    numbers.push_back(std::stoi(text.substr(i, end - i)));
    i = end == std::string::npos ? text.size() : end;
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

TEST(ShippedLanguageFiles, AgreeOnVersionAndDateAndEachNamesItsLanguage) {
  const std::vector<Pack> packs = shipped_packs();
  const Pack& english = packs.front();
  std::set<std::string> languages;
  for (const Pack& pack : packs) {
    SCOPED_TRACE(pack.name);
    EXPECT_EQ(access_keys(pack.text(pw::text::kUpdateButton)), 1) << pack.text(pw::text::kUpdateButton);
    EXPECT_EQ(access_keys(pack.text(pw::text::kCancelButton)), 1) << pack.text(pw::text::kCancelButton);
    EXPECT_NE(pack.text(pw::text::kVersionLabel).find("2.0.0"), std::string::npos);
    // The date in the language's own format: the same year, month and day.
    EXPECT_EQ(numbers_in(pack.text(pw::text::kDateLabel)), numbers_in(english.text(pw::text::kDateLabel)))
        << pack.text(pw::text::kDateLabel);
    EXPECT_TRUE(languages.insert(pack.text(pw::text::kLanguageLabel)).second)
        << pack.text(pw::text::kLanguageLabel) << " is another file's language";
  }
}

TEST(ShippedLanguageFile, NewerKeysMatchTheBuiltInWording) {
  const Pack english = load(kResources / "lang.ini");
  int newer = 0;
  for (const pw::TextKey& key : pw::text::kAll) {
    if (key.key < 2001) continue;
    ++newer;
    const std::string k = std::to_string(key.key);
    const char* builtin = pw::builtin_text(key.section, k.c_str());
    ASSERT_NE(builtin, nullptr) << k << " has no built-in wording";
    EXPECT_EQ(english.text(key), builtin) << k;
  }
  EXPECT_GE(newer, 8);
}

TEST(BuiltinTexts, OnlyTheMessageSectionHasThem) {
  EXPECT_NE(pw::builtin_text("MESSAGE", "2001"), nullptr);
  EXPECT_EQ(pw::builtin_text("control", "2001"), nullptr);
  EXPECT_EQ(pw::builtin_text("message", "20011"), nullptr);
  EXPECT_EQ(pw::builtin_text(nullptr, "2001"), nullptr);
}

}  // namespace
