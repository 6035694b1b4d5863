// The presence monitor as a user sees it: the link status, the driver installer,
// and a missing or planted pipe library.
#include <gtest/gtest.h>

#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

// Long enough for several polls at the unlinked period of 800 ms.
constexpr Millis kSeveralPolls{3000};

bool copy_from_bin(const std::string& name, const std::string& to_folder) {
  return copy_file(join_path(bin_folder(), name), join_path(to_folder, name));
}

TEST(DevicePresence, WithoutDeviceShowsUnlinkedAndStartsTheInstallerOnceFromTheCurrentDirectory) {
  UpdaterRig rig("presence-absent");
  ASSERT_TRUE(copy_from_bin("InstallUsbDrive.exe", rig.folder().path()));
  ASSERT_TRUE(rig.start_updater());
  auto& app = rig.app();
  EXPECT_TRUE(app.wait_for_text(kLinkStatus, {msg(1025)}));
  ASSERT_TRUE(poll_until([&] { return rig.installer_runs().size() == 1; })) << app.describe();
  const auto runs = rig.installer_runs();
  EXPECT_EQ(runs[0].exe, rig.folder().file("InstallUsbDrive.exe")) << "never the one beside the executable";

  poll_until([&] { return rig.installer_runs().size() > 1; }, kSeveralPolls);
  EXPECT_EQ(rig.installer_runs().size(), 1u) << "started again on a later poll";
  EXPECT_TRUE(app.boxes_seen().empty()) << app.describe();
}

TEST(DevicePresence, DevicePluggedLaterShowsLinked) {
  UpdaterRig rig("presence-later");
  ASSERT_TRUE(rig.start_device({"--unplugged"}));
  ASSERT_TRUE(rig.start_updater());
  ASSERT_TRUE(rig.app().wait_for_text(kLinkStatus, {msg(1025)}));
  ASSERT_TRUE(rig.device_command("plug"));
  EXPECT_TRUE(rig.app().wait_for_text(kLinkStatus, {msg(1024)})) << rig.app().describe();
}

TEST(DevicePresence, DeviceSeenThenUnpluggedShowsUnlinkedWithoutInstallerOrQuestion) {
  UpdaterRig rig("presence-unplug");
  ASSERT_TRUE(copy_from_bin("InstallUsbDrive.exe", rig.folder().path()));
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  ASSERT_TRUE(rig.device_command("unplug"));
  EXPECT_TRUE(rig.app().wait_for_text(kLinkStatus, {msg(1025)}));
  poll_until([&] { return !rig.installer_runs().empty() || !rig.app().boxes_seen().empty(); }, kSeveralPolls);
  EXPECT_TRUE(rig.installer_runs().empty()) << "the device was seen in this run";
  EXPECT_TRUE(rig.app().boxes_seen().empty()) << "no update command passed identification: "
                                              << rig.app().describe();
}

TEST(DevicePresence, InstallerPlugsTheDeviceInAsAFinishedDriverInstallWould) {
  UpdaterRig rig("presence-install");
  ASSERT_TRUE(copy_from_bin("InstallUsbDrive.exe", rig.folder().path()));
  ASSERT_TRUE(rig.start_device({"--unplugged"}));
  sim::ScopedEnvironmentVariable plugs("PUSHWELL_SIM_INSTALLER_PLUGS", "1");
  ASSERT_TRUE(rig.start_updater());
  EXPECT_TRUE(rig.app().wait_for_text(kLinkStatus, {msg(1024)})) << rig.app().describe();
  EXPECT_EQ(rig.installer_runs().size(), 1u);
}

struct LibraryCase {
  const char* name;
  bool plant_in_current_directory;
};

class MissingLibrary : public ::testing::TestWithParam<LibraryCase> {};

TEST_P(MissingLibrary, ShowsOneBoxAtATimeKeepsTheStatusAndCancelStillEnds) {
  UpdaterRig rig(std::string("presence-") + GetParam().name);
  const std::string exe = install_updater(rig.folder().subfolder("app"), UpdaterFiles{true, false});
  ASSERT_FALSE(exe.empty());
  if (GetParam().plant_in_current_directory) {
    ASSERT_TRUE(copy_from_bin(kLibraryDll, rig.folder().path()));
  }
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater(exe));
  auto& app = rig.app();
  HWND box = app.wait_for_message_box(kLibraryUnloaded);
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_EQ(app.text(kLinkStatus), msg(1025)) << "the status keeps its first text";

  // Ticks go on inside the box; none opens a second one.
  poll_until([&] { return app.open_message_boxes().size() > 1; }, kSeveralPolls);
  EXPECT_EQ(app.open_message_boxes().size(), 1u) << app.describe();
  ASSERT_TRUE(app.answer(box));
  poll_until([&] { return !app.open_message_boxes().empty(); }, kSeveralPolls);
  EXPECT_TRUE(app.open_message_boxes().empty()) << "not again until a load has succeeded: " << app.describe();

  ASSERT_TRUE(app.click(2));
  EXPECT_TRUE(app.wait_for_exit().has_value()) << app.describe();
}

INSTANTIATE_TEST_SUITE_P(Library, MissingLibrary,
                         ::testing::Values(LibraryCase{"missing", false}, LibraryCase{"planted", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pw::e2e
