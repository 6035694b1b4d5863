// What the updater tells the user and the system must be true: the final box
// names what the device received, a damaged file is named, a transfer warns
// against disconnecting, and a log-off or shutdown waits for a running update.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

const char* const kNames[] = {"firmware.cam", "image.cam", "imageru.cam", "sound.cam", "database.cam"};

// The session's question to the window; nullopt when it got no answer in time.
std::optional<LRESULT> ask(HWND window, UINT message, WPARAM wp, LPARAM lp) {
  DWORD_PTR answer = 0;
  if (!::SendMessageTimeoutA(window, message, wp, lp, SMTO_ABORTIFHUNG, 10000, &answer)) return std::nullopt;
  return static_cast<LRESULT>(answer);
}

TEST(SessionEnd, WaitsForARunningTransferAndNotForAnIdleWindow) {
  UpdaterRig rig("session-end");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 300000, 1, 1);
  const tools::Bytes database = rig.write_update_file("database.cam", 2000, 1, 2);
  ASSERT_TRUE(rig.start_device({"--rate", "200000"}));
  ASSERT_TRUE(rig.start_updater_linked());
  DialogApp& app = rig.app();
  EXPECT_EQ(ask(app.main_dialog(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), std::optional<LRESULT>(TRUE))
      << "an idle updater must not hold up a log-off";

  ASSERT_TRUE(app.click(kUpdateButton));
  ASSERT_TRUE(rig.wait_capture_size(60000));
  EXPECT_EQ(ask(app.main_dialog(), WM_QUERYENDSESSION, 0, 0), std::optional<LRESULT>(FALSE));
  EXPECT_EQ(ask(app.main_dialog(), WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP), std::optional<LRESULT>(FALSE));
  EXPECT_TRUE(ask(app.main_dialog(), WM_ENDSESSION, FALSE, 0).has_value()) << "a session end is answered at once";
  EXPECT_EQ(app.text(kResultText), msg(2012)) << "nothing warns the user during the transfer";

  HWND finished = app.wait_for_message_box(msg(1010));
  ASSERT_NE(finished, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware, database})));
  EXPECT_EQ(app.text(kResultText), msg(1030));
  ASSERT_TRUE(app.answer(finished));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

struct ListCase {
  const char* name;
  std::vector<std::uint8_t> flags;  // send flag of each of the five files
};

class FinalBox : public ::testing::TestWithParam<ListCase> {};

TEST_P(FinalBox, NamesExactlyTheFilesTheDeviceReceived) {
  const ListCase& c = GetParam();
  UpdaterRig rig(std::string("final-") + c.name);
  std::vector<tools::Bytes> sent;
  std::string listed;
  for (std::size_t i = 0; i < 5; ++i) {
    const tools::Bytes file = rig.write_update_file(kNames[i], 3000 + 100 * i, c.flags[i], static_cast<std::uint32_t>(i + 1));
    if (c.flags[i] == 0) continue;
    sent.push_back(file);
    listed += std::string("\n") + kNames[i];
  }
  ASSERT_TRUE(rig.start_update());
  DialogApp& app = rig.app();
  HWND finished = app.wait_for_message_box(msg(1010));
  ASSERT_NE(finished, nullptr) << app.describe();
  EXPECT_EQ(message_box_text(finished), listed.empty() ? msg(1010) : msg(1010) + "\n" + listed);
  EXPECT_TRUE(rig.capture_becomes(expected_stream(sent)));
  ASSERT_TRUE(app.answer(finished));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

INSTANTIATE_TEST_SUITE_P(Flags, FinalBox,
                         ::testing::Values(ListCase{"AllFive", {1, 1, 1, 1, 1}},
                                           ListCase{"SomeNotFlagged", {1, 0, 0x80, 0, 1}},
                                           ListCase{"NoneSent", {0, 0, 0, 0, 0}}),
                         [](const ::testing::TestParamInfo<ListCase>& i) { return std::string(i.param.name); });

struct DamageCase {
  const char* name;
  tools::Bytes image;
  int text;
};

class DamagedSecondFile : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedSecondFile, IsNamedInItsBox) {
  const DamageCase& c = GetParam();
  UpdaterRig rig(std::string("damaged-") + c.name);
  rig.write_update_file("firmware.cam", 2000, 1, 1);
  ASSERT_TRUE(rig.write_bytes("image.cam", c.image));
  ASSERT_TRUE(rig.start_update());
  DialogApp& app = rig.app();
  HWND box = app.wait_for_message_box(msg(c.text));
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_EQ(message_box_text(box), msg(c.text) + "\n\n" + rig.folder().file("image.cam"));
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(app.process().running());
}

tools::Bytes with_marker(std::uint8_t marker, std::size_t size) {
  tools::Bytes b(size, 0x11);
  b[0] = marker;
  b[1] = 1;
  return b;
}

INSTANTIATE_TEST_SUITE_P(Damage, DamagedSecondFile,
                         ::testing::Values(DamageCase{"TooShort", with_marker(0x24, 1027), 1023},
                                           DamageCase{"BadMarker", with_marker(0x23, 4096), 1022}),
                         [](const ::testing::TestParamInfo<DamageCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace pw::e2e
