// Every user's language: the shipped packs show their own texts in the window,
// a folder named in Cyrillic updates like any other, and a language file in the
// system's code page keeps its accented letters.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lang/lang_lookup.h"
#include "lang/utf.h"
#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A pack's text as the updater must show it; the packs are UTF-8, which needs no
// code page.
std::string pack_text(const std::string& pack, const char* section, int key) {
  const std::string bytes = read_all(pack);
  return utf16_to_utf8(lang_text_from(std::string_view(bytes), section, std::to_string(key).c_str(), nullptr));
}

std::vector<std::string> shipped_packs() {
  std::vector<std::string> packs{"lang.ini"};
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(join_path(join_path(bin_folder(), "lang"), "*.ini").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return packs;
  do packs.push_back(std::string("lang\\") + found.cFileName);
  while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return packs;
}

TEST(Languages, TheSystemUnderTestHasAWesternCodePage) {
  EXPECT_EQ(::GetACP(), 1252u) << "the tests must run on a Western-locale system";
}

TEST(Languages, AtLeastRussianAndKoreanShip) {
  const std::vector<std::string> packs = shipped_packs();
  EXPECT_NE(std::find(packs.begin(), packs.end(), "lang\\ru.ini"), packs.end());
  EXPECT_NE(std::find(packs.begin(), packs.end(), "lang\\ko.ini"), packs.end());
}

// Each pack, copied over lang.ini beside the updater, as the README tells a user to.
TEST(Languages, EveryShippedPackShowsItsOwnCaptionButtonsAndLabels) {
  for (const std::string& pack_name : shipped_packs()) {
    SCOPED_TRACE(pack_name);
    const std::string pack = join_path(bin_folder(), pack_name);
    UpdaterRig rig("lang-pack");
    const std::string app_folder = rig.folder().subfolder("app");
    ASSERT_FALSE(install_updater(app_folder, UpdaterFiles{false, true}).empty());
    ASSERT_TRUE(copy_file(pack, join_path(app_folder, "lang.ini")));
    ASSERT_TRUE(rig.start_device());
    ASSERT_TRUE(rig.start_updater(join_path(app_folder, "Pushwell.exe")));
    DialogApp& app = rig.app();
    EXPECT_EQ(app.caption(), pack_text(pack, "title", 100));
    EXPECT_EQ(app.text(kUpdateButton), pack_text(pack, "control", 1002));
    EXPECT_EQ(app.text(IDCANCEL), pack_text(pack, "control", 1001));
    EXPECT_EQ(app.text(1009), pack_text(pack, "control", 1004));
    EXPECT_EQ(app.text(1012), pack_text(pack, "info", 1039));
    EXPECT_TRUE(app.wait_for_text(kLinkStatus, {pack_text(pack, "message", 1024)})) << app.describe();
    std::string name = pack_name.substr(pack_name.find_last_of('\\') + 1);
    app.save_screenshots("screenshots/language-" + name.substr(0, name.find('.')));
    ASSERT_TRUE(app.click(IDCANCEL));
    EXPECT_TRUE(app.wait_for_exit().has_value());
  }
}

TEST(Languages, AFolderNamedInCyrillicSendsTheExactStream) {
  UpdaterRig rig("lang-cyrillic");
  const std::string folder = rig.folder().subfolder("\xD0\x9E\xD0\xB1\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBB\xD0\xB5\xD0\xBD"
                                                    "\xD0\xB8\xD0\xB5 \xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD");  // "Обновление Иван"
  std::vector<tools::Bytes> files;
  std::uint32_t seed = 1;
  for (const char* name : {"firmware.cam", "image.cam", "imageru.cam", "sound.cam", "database.cam"}) {
    tools::CamFields fields;
    fields.send_flag = 1;
    fields.command = tools::generated_payload(46, seed + 1000);
    files.push_back(tools::build_update_file(fields, tools::generated_payload(3000 + seed * 100, seed)));
    ++seed;
    ASSERT_TRUE(write_text_file(join_path(folder, name), std::string(files.back().begin(), files.back().end())));
  }
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_in(folder));
  DialogApp& app = rig.app();
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)}));
  ASSERT_TRUE(app.click(kUpdateButton));
  HWND finished = app.wait_for_message_box(msg(1010));
  ASSERT_NE(finished, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture_becomes(expected_stream(files)));
  EXPECT_EQ(app.count_seen(msg(2008)), 0u);
  ASSERT_TRUE(app.answer(finished));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

TEST(Languages, AFileInTheSystemCodePageKeepsItsAccentedLetters) {
  UpdaterRig rig("lang-cp1252");
  const std::string app_folder = rig.folder().subfolder("app");
  ASSERT_FALSE(install_updater(app_folder, UpdaterFiles{false, true}).empty());
  // "Mise à jour" and "Annuler l'opération" in Windows-1252: not valid UTF-8.
  ASSERT_TRUE(write_text_file(join_path(app_folder, "lang.ini"),
                              "[title]\r\n100=Mise \xE0 jour\r\n[control]\r\n1001=Annuler l'op\xE9ration\r\n"));
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater(join_path(app_folder, "Pushwell.exe")));
  DialogApp& app = rig.app();
  EXPECT_EQ(app.caption(), "Mise \xC3\xA0 jour");
  EXPECT_EQ(app.text(IDCANCEL), "Annuler l'op\xC3\xA9ration");
  ASSERT_TRUE(app.click(IDCANCEL));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

}  // namespace
}  // namespace pw::e2e
