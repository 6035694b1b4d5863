// The updater's main window as a user meets it: texts from the language file
// beside the executable, the About box, and the ways to close the program.
#include <gtest/gtest.h>

#include "tools/driver/driver.h"

namespace pw::e2e {
namespace {

constexpr WPARAM kAboutCommand = 0x10;
constexpr char kAboutCaption[] = "About Download";
constexpr char kLibraryUnloaded[] = "BMC51xUSB.dll unloaded";
constexpr int kLinkStatus = 1002;

struct TextSource {
  int control;
  const char* section;
  const char* key;
};

// The texts set once at start, apart from the link status, which the presence
// poll may change right away.
constexpr TextSource kStartTexts[] = {
    {1000, "control", "1002"}, {2, "control", "1001"},  {1009, "control", "1004"},
    {1010, "info", "1037"},    {1011, "info", "1038"}, {1012, "info", "1039"},
};

std::string current_test_name() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(info->test_suite_name()) + "." + info->name();
}

// A language file whose every text differs from the shipped one.
std::string decoy_lang_ini() {
  std::string text = "[title]\r\n100=decoy title\r\n[message]\r\n1024=decoy linked\r\n1025=decoy unlinked\r\n";
  for (const TextSource& source : kStartTexts)
    text += std::string("[") + source.section + "]\r\n" + source.key + "=decoy " + source.key + "\r\n";
  return text;
}

class UpdaterWindow : public ::testing::Test {
 protected:
  // Copies the updater into its own folder and starts it from another one, under a
  // device name no simulated device uses, so it runs without a device.
  HWND launch(const UpdaterFiles& files) {
    app_dir_ = scratch_.subfolder("app");
    run_dir_ = scratch_.subfolder("run");
    const std::string exe = install_updater(app_dir_, files);
    if (exe.empty()) {
      ADD_FAILURE() << "cannot copy the updater from " << bin_folder();
      return nullptr;
    }
    if (!files.library) app_.auto_answer(kLibraryUnloaded);
    LaunchOptions options;
    options.current_directory = run_dir_;
    options.environment = {{"PUSHWELL_SIM_DEVICE", unique_name("e2e-absent")},
                           {"PUSHWELL_SIM_INSTALLER_LOG", scratch_.file("installer.log")}};
    if (!app_.start(exe, options)) {
      ADD_FAILURE() << app_.process().error();
      return nullptr;
    }
    HWND main = app_.wait_for_main_dialog();
    if (!main) ADD_FAILURE() << "no main dialog: " << app_.describe();
    return main;
  }

  std::string shipped(const char* section, const char* key) const {
    return read_profile_string(join_path(app_dir_, kLangIni), section, key);
  }

  void TearDown() override {
    if (HasFailure()) {
      const std::string folder = join_path(bin_folder(), "e2e-failures");
      ::CreateDirectoryA(folder.c_str(), nullptr);
      app_.save_screenshots(join_path(folder, unique_name(current_test_name())));
    }
  }

  ScratchFolder scratch_{current_test_name()};
  std::string app_dir_;
  std::string run_dir_;
  DialogApp app_;  // after scratch_: the program ends before its folder is removed
};

TEST_F(UpdaterWindow, ShowsCaptionAndControlTextsFromLangIniBesideExecutable) {
  ASSERT_TRUE(scratch_.ok());
  // A language file in the current directory must not be the one read.
  ASSERT_TRUE(write_text_file(join_path(scratch_.subfolder("run"), kLangIni), decoy_lang_ini()));
  ASSERT_TRUE(launch(UpdaterFiles{}));

  const std::string title = shipped("title", "100");
  ASSERT_FALSE(title.empty()) << "the shipped language file has no [title] 100";
  EXPECT_EQ(app_.caption(), title);
  for (const TextSource& source : kStartTexts) {
    SCOPED_TRACE("control " + std::to_string(source.control));
    const std::string expected = shipped(source.section, source.key);
    EXPECT_FALSE(expected.empty()) << "the shipped language file has no [" << source.section << "] " << source.key;
    EXPECT_EQ(app_.text(source.control), expected);
  }
  const std::string unlinked = shipped("message", "1025");
  const std::string linked = shipped("message", "1024");
  EXPECT_FALSE(unlinked.empty());
  EXPECT_TRUE(app_.text(kLinkStatus) == unlinked || app_.text(kLinkStatus) == linked)
      << "link status \"" << app_.text(kLinkStatus) << "\"";
  EXPECT_TRUE(app_.enabled(kMainDialogMarker));
}

TEST_F(UpdaterWindow, LeavesCaptionAndControlTextsEmptyWithoutLangIniBesideExecutable) {
  ASSERT_TRUE(scratch_.ok());
  ASSERT_TRUE(copy_file(join_path(bin_folder(), kLangIni), join_path(scratch_.subfolder("run"), kLangIni)));
  UpdaterFiles exe_alone;
  exe_alone.lang_ini = false;
  exe_alone.library = false;
  ASSERT_TRUE(launch(exe_alone));

  EXPECT_EQ(app_.caption(), "");
  for (const TextSource& source : kStartTexts) {
    SCOPED_TRACE("control " + std::to_string(source.control));
    EXPECT_TRUE(has_item(app_.main_dialog(), source.control));
    EXPECT_EQ(app_.text(source.control), "");
  }
  EXPECT_EQ(app_.text(kLinkStatus), "");
}

TEST_F(UpdaterWindow, AboutCommandOpensModalAboutBoxThatOkCloses) {
  ASSERT_TRUE(scratch_.ok());
  HWND main = launch(UpdaterFiles{});
  ASSERT_TRUE(main);

  ASSERT_TRUE(app_.system_command(kAboutCommand));
  HWND about = app_.wait_for_dialog(kAboutCaption);
  ASSERT_TRUE(about) << app_.describe();
  EXPECT_FALSE(is_message_box(about));
  EXPECT_EQ(::GetWindow(about, GW_OWNER), main);
  EXPECT_TRUE(app_.wait_until([&] { return !::IsWindowEnabled(main); })) << "the About box is not modal";

  ASSERT_TRUE(app_.answer(about, IDOK)) << app_.describe();
  EXPECT_TRUE(app_.wait_until([&] { return ::IsWindowEnabled(main) != 0; }));
  EXPECT_TRUE(app_.process().running());
  EXPECT_TRUE(::IsWindow(main));
}

struct Ending {
  const char* name;
  bool (*act)(const DialogApp&);
};

void PrintTo(const Ending& ending, std::ostream* os) { *os << ending.name; }

class UpdaterEnds : public UpdaterWindow, public ::testing::WithParamInterface<Ending> {};

TEST_P(UpdaterEnds, EndsProcessWhenMainDialogCloses) {
  ASSERT_TRUE(scratch_.ok());
  ASSERT_TRUE(launch(UpdaterFiles{}));
  ASSERT_TRUE(GetParam().act(app_));
  EXPECT_TRUE(app_.wait_for_exit().has_value()) << app_.describe();
}

INSTANTIATE_TEST_SUITE_P(
    ByUser, UpdaterEnds,
    ::testing::Values(Ending{"CancelButton", [](const DialogApp& app) { return app.click(IDCANCEL); }},
                      Ending{"WindowClose", [](const DialogApp& app) { return app.close(); }}),
    [](const ::testing::TestParamInfo<Ending>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pw::e2e
