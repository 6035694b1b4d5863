// Language lookups against real files, read by the system's profile reader.
#include <windows.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "lang/builtin_texts.h"
#include "lang/lang_text.h"
#include "win/module_path.h"

namespace {

class LangFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "pushwell-lang-" + std::to_string(::GetCurrentProcessId()) + ".ini";
  }
  void TearDown() override { ::DeleteFileA(path_.c_str()); }
  void write(const std::string& content) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << content;
  }
  std::string path_;
};

TEST_F(LangFile, MissingFileGivesEmptyTexts) {
  EXPECT_EQ(pw::read_lang_text(path_, "title", "100"), "");
  EXPECT_EQ(pw::read_lang_text(path_, "message", "1021"), "");
}

TEST_F(LangFile, SectionAndKeyMatchWithoutRegardToCase) {
  write("[TITLE]\r\n100=Updater\r\n[Message]\r\n1024=Linked\r\n");
  EXPECT_EQ(pw::read_lang_text(path_, "title", "100"), "Updater");
  EXPECT_EQ(pw::read_lang_text(path_, "message", "1024"), "Linked");
}

TEST_F(LangFile, LongValueIsCutTo259Bytes) {
  const std::string value(300, 'x');
  write("[message]\r\n1021=" + value + "\r\n");
  EXPECT_EQ(pw::read_lang_text(path_, "message", "1021"), value.substr(0, 259));
}

TEST_F(LangFile, MissingSectionOrKeyGivesEmptyText) {
  write("[control]\r\n1001=Cancel\r\n");
  EXPECT_EQ(pw::read_lang_text(path_, "info", "1037"), "");
  EXPECT_EQ(pw::read_lang_text(path_, "control", "1002"), "");
}

TEST_F(LangFile, NewerKeysFallBackToBuiltInWordingOnlyWhenMissing) {
  write("[message]\r\n2002=Custom failure text\r\n2003=\r\n");
  EXPECT_EQ(pw::read_lang_text(path_, "message", "2002"), "Custom failure text");
  EXPECT_EQ(pw::read_lang_text(path_, "message", "2003"), "") << "an empty value is the translator's choice";
  EXPECT_EQ(pw::read_lang_text(path_, "message", "2001"), pw::builtin_text("message", "2001"));
  ASSERT_NE(pw::builtin_text("message", "2001"), nullptr);
  EXPECT_EQ(pw::builtin_text("message", "1021"), nullptr) << "original keys have no built-in wording";
}

TEST(LangText, ReadsTheFileBesideTheExecutableNotTheCurrentDirectory) {
  const std::string expected = pw::executable_folder() + "lang.ini";
  EXPECT_EQ(pw::lang_file_path(), expected);
}

}  // namespace
