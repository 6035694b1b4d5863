// The shipped lang.ini must word every text the program looks up, and agree with
// the wording built into the executable for the newer keys.
#include <fstream>
#include <map>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "lang/builtin_texts.h"

namespace {

using Ini = std::map<std::pair<std::string, std::string>, std::string>;

Ini read_shipped_ini() {
  Ini ini;
  std::ifstream in(std::string(PUSHWELL_SOURCE_DIR) + "/resources/lang.ini");
  std::string line, section;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      section = line.substr(1, line.find(']') - 1);
      continue;
    }
    const auto eq = line.find('=');
    if (eq != std::string::npos) ini[{section, line.substr(0, eq)}] = line.substr(eq + 1);
  }
  return ini;
}

TEST(ShippedLanguageFile, WordsEveryLookedUpText) {
  const Ini ini = read_shipped_ini();
  const std::pair<const char*, const char*> keys[] = {
      {"title", "100"},    {"control", "1002"}, {"control", "1001"}, {"control", "1004"}, {"info", "1037"},
      {"info", "1038"},    {"info", "1039"},    {"message", "1025"}, {"message", "1024"}, {"message", "1021"},
      {"message", "1031"}, {"message", "1023"}, {"message", "1022"}, {"message", "1027"}, {"message", "1033"},
      {"message", "1034"}, {"message", "1028"}, {"message", "1026"}, {"message", "1030"}, {"message", "1035"},
      {"message", "1010"},
  };
  for (const auto& [section, key] : keys) {
    auto it = ini.find({section, key});
    ASSERT_NE(it, ini.end()) << "[" << section << "] " << key;
    EXPECT_FALSE(it->second.empty()) << "[" << section << "] " << key;
    EXPECT_LT(it->second.size(), 260u) << "[" << section << "] " << key << " would be cut";
  }
}

TEST(ShippedLanguageFile, NewerKeysMatchTheBuiltInWording) {
  const Ini ini = read_shipped_ini();
  int newer = 0;
  for (const auto& [where, text] : ini) {
    if (where.first != "message" || std::stoi(where.second) < 2001) continue;
    ++newer;
    const char* builtin = pw::builtin_text("message", where.second.c_str());
    ASSERT_NE(builtin, nullptr) << where.second << " has no built-in wording";
    EXPECT_EQ(text, builtin) << where.second;
  }
  EXPECT_GE(newer, 8);
  for (int key = 2001; key <= 2009; ++key) {
    const std::string k = std::to_string(key);
    if (pw::builtin_text("message", k.c_str())) {
      EXPECT_TRUE(ini.count({"message", k})) << k << " missing from lang.ini";
    }
  }
}

TEST(BuiltinTexts, OnlyTheMessageSectionHasThem) {
  EXPECT_NE(pw::builtin_text("MESSAGE", "2001"), nullptr);
  EXPECT_EQ(pw::builtin_text("control", "2001"), nullptr);
  EXPECT_EQ(pw::builtin_text("message", "20011"), nullptr);
  EXPECT_EQ(pw::builtin_text(nullptr, "2001"), nullptr);
}

}  // namespace
