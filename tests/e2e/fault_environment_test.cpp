// The updater's surroundings gone wrong: its language file missing or damaged,
// a current directory at a drive root or too long for the update file paths,
// the pipe library missing, crippled or planted where it must not be loaded, and
// no driver installer. The update still works where it can, and every failure
// reaches the user as a box that can be answered.
#include <gtest/gtest.h>

#include "tests/e2e/fault_rig.h"

namespace pw::e2e {
namespace {

const Shown kFinished{1010};
const Shown kNotConnected{1021};
const Shown kTransferFailed{2002};
const Shown kFolderTooLong{2009};
// Where a write error cuts the firmware of the language rows off.
constexpr std::size_t kCutAt = 1 + 48 + 3000;

// A text as the updater reads it from `ini_path`: 260 bytes at most, "" when absent.
std::string profile_text(const std::string& ini_path, const char* section, const char* key) {
  char buffer[MAX_PATH] = {};
  ::GetPrivateProfileStringA(section, key, "", buffer, sizeof buffer, ini_path.c_str());
  return buffer;
}

std::string repeated_text(std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + i % 26));
  return text;
}

// Clicks the update button until the device sees the identification byte. A click
// that comes before the first presence poll only brings the not-linked box, which
// is answered before the next try.
::testing::AssertionResult start_update_command(UpdaterRig& rig) {
  DialogApp& app = rig.app();
  bool clicked = false;
  const bool started = app.wait_until([&] {
    if (rig.device_status().identify_requests > 0) return true;
    const std::vector<HWND> boxes = app.open_message_boxes();
    if (!boxes.empty()) {
      app.answer(boxes.front());
      clicked = false;
    } else if (!clicked) {
      clicked = app.click(kUpdateButton);
    }
    return false;
  });
  if (started) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the device never saw the identification byte: " << app.describe();
}

// ---- The language file ------------------------------------------------------------

struct LanguageFault {
  const char* name;
  std::optional<std::string> lang_ini;  // beside the updater; none when nullopt
  std::vector<std::string> device_args;
  // The final box and the caption, given the language file's path.
  std::string (*final_text)(const std::string& ini_path);
  std::string (*caption)(const std::string& ini_path);
  Ending ending;
};

void PrintTo(const LanguageFault& fault, std::ostream* os) { *os << fault.name; }

std::string binary_junk() {
  std::string junk;
  std::uint32_t x = 2024;
  for (int i = 0; i < 4096; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    junk.push_back(static_cast<char>(x));
  }
  return junk + "\r\n[message]\r\n1010=Finished after the junk\r\n";
}

const char kShippedSectionsButMessage[] =
    "[title]\r\n100=Updater without messages\r\n[control]\r\n1001=Cancel\r\n1002=Update File\r\n";

std::vector<LanguageFault> language_faults() {
  const std::string long_value = repeated_text(300);
  return {
      {"no_lang_ini_finishes_with_an_empty_box", std::nullopt, {}, [](const std::string&) { return std::string(); },
       [](const std::string&) { return std::string(); }, Ending::exits},
      // Texts added later have a built-in wording, the shipped one.
      {"no_lang_ini_failure_still_explained", std::nullopt, {"--fail-after", std::to_string(kCutAt)},
       [](const std::string&) { return msg(2002); }, [](const std::string&) { return std::string(); },
       Ending::keeps_running},
      {"binary_junk", binary_junk(), {},
       [](const std::string& ini) { return profile_text(ini, "message", "1010"); },
       [](const std::string& ini) { return profile_text(ini, "title", "100"); }, Ending::exits},
      {"values_of_300_bytes_are_cut_to_259",
       "[title]\r\n100=" + long_value + "\r\n[message]\r\n1010=" + long_value + "\r\n", {},
       [](const std::string&) { return repeated_text(259); }, [](const std::string&) { return repeated_text(259); },
       Ending::exits},
      {"message_section_missing", std::string(kShippedSectionsButMessage), {},
       [](const std::string&) { return std::string(); },
       [](const std::string&) { return std::string("Updater without messages"); }, Ending::exits},
      {"sections_in_other_letter_cases",
       "[TITLE]\r\n100=Caption in capitals\r\n[Message]\r\n1010=Finished, in mixed case\r\n1024=Linked\r\n", {},
       [](const std::string&) { return std::string("Finished, in mixed case"); },
       [](const std::string&) { return std::string("Caption in capitals"); }, Ending::exits},
  };
}

class FaultLanguage : public ::testing::TestWithParam<LanguageFault> {};

TEST_P(FaultLanguage, BoxesShowWhatTheFileHoldsAndCanBeAnswered) {
  const LanguageFault& fault = GetParam();
  UpdaterRig rig(std::string("fault-lang-") + fault.name);
  const std::string app_folder = rig.folder().subfolder("app");
  const std::string exe = install_updater_with_lang(app_folder, fault.lang_ini);
  ASSERT_FALSE(exe.empty());
  const std::string ini = join_path(app_folder, kLangIni);
  const std::vector<tools::Bytes> flagged =
      write_planned_files(rig, {{"firmware.cam", 6000}, {"database.cam", 2000}});
  ASSERT_TRUE(rig.start_device(fault.device_args));
  ASSERT_TRUE(rig.start_updater(exe));
  DialogApp& app = rig.app();
  EXPECT_EQ(app.caption(), fault.caption(ini));
  ASSERT_TRUE(start_update_command(rig));

  const std::string final_text = fault.final_text(ini);
  // The not-linked box a click may meet before the first poll shows this file's text too.
  const Expectation expected{{literal_text(final_text)},
                             {literal_text(profile_text(ini, "message", "1021"))},
                             fault.ending};
  EXPECT_TRUE(run_to_end(app, expected));
  const std::vector<SeenBox>& boxes = app.boxes_seen();
  ASSERT_FALSE(boxes.empty());
  EXPECT_TRUE(box_text_matches(boxes.back().text, final_text)) << boxes.back().text;
  const tools::Bytes full = expected_stream(flagged);
  const std::size_t sent = fault.ending == Ending::exits ? full.size() : kCutAt;
  const tools::Bytes capture = settled_capture(rig, sent);
  EXPECT_TRUE(delivered_honestly(capture, full, app.count_seen(msg(1010)) > 0));
  EXPECT_EQ(capture.size(), sent);
  keep_screenshots_on_failure(app);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultLanguage, ::testing::ValuesIn(language_faults()),
                         [](const ::testing::TestParamInfo<LanguageFault>& info) {
                           return std::string(info.param.name);
                         });

// ---- The current directory -----------------------------------------------------------

TEST(FaultCurrentDirectory, DriveRootPathsWithTwoSeparatorsFindTheInstallerAndTheFiles) {
  UpdaterRig rig("fault-cwd-root");
  const std::string root_folder = rig.folder().subfolder("root");
  ScopedDriveLetter drive(root_folder);
  ASSERT_TRUE(drive.ok()) << "no drive letter could be mapped to " << root_folder;
  ASSERT_TRUE(copy_file(join_path(bin_folder(), "InstallUsbDrive.exe"), join_path(root_folder, "InstallUsbDrive.exe")));
  std::vector<tools::Bytes> flagged;
  for (const PlannedFile& file : {PlannedFile{"firmware.cam", 4000}, PlannedFile{"database.cam", 1500}}) {
    tools::Bytes contents = rig.write_update_file(file.name, file.payload, file.flag, 5);
    ASSERT_TRUE(copy_file(rig.folder().file(file.name), join_path(root_folder, file.name)));
    ASSERT_TRUE(::DeleteFileA(rig.folder().file(file.name).c_str()));
    flagged.push_back(std::move(contents));
  }
  ASSERT_TRUE(rig.start_device({"--unplugged"}));
  // The installer stand-in plugs the device, as a finished driver install would.
  sim::ScopedEnvironmentVariable plugs("PUSHWELL_SIM_INSTALLER_PLUGS", "1");
  ASSERT_TRUE(rig.start_updater_in(drive.root()));
  DialogApp& app = rig.app();
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)})) << app.describe();
  const std::vector<sim::InstallerRun> runs = rig.installer_runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].cwd, drive.root());

  ASSERT_TRUE(app.click(kUpdateButton));
  EXPECT_TRUE(run_to_end(app, {{kFinished}, {}, Ending::exits}));
  const tools::Bytes full = expected_stream(flagged);
  EXPECT_EQ(settled_capture(rig, full.size()), full);
  keep_screenshots_on_failure(app);
}

struct FolderLength {
  std::size_t length;  // of the current directory, in characters
  bool fits;           // every update file path fits in 259 characters
};

void PrintTo(const FolderLength& folder, std::ostream* os) { *os << folder.length << " characters"; }

class FaultFolderLength : public ::testing::TestWithParam<FolderLength> {};

// A current directory of exactly `length` characters inside `base`, made of
// folders of at most 100 characters.
std::string folder_of_length(const std::string& base, std::size_t length) {
  std::string path = base;
  while (path.size() < length) {
    const std::size_t room = length - path.size() - 1;  // one for the separator
    // Never leave a remainder too short for a name of its own.
    std::size_t part = std::min<std::size_t>(room, 100);
    if (room > part && room - part < 2) part -= 2;
    path += "\\" + std::string(part, 'd');
  }
  return path;
}

TEST_P(FaultFolderLength, LongestFittingFolderWorksAndOneMoreCharacterIsExplained) {
  const FolderLength& folder = GetParam();
  UpdaterRig rig("fault-cwd-long");
  const std::string current = folder_of_length(rig.folder().path(), folder.length);
  ASSERT_EQ(current.size(), folder.length);
  ASSERT_TRUE(create_folder_chain(current));
  // Removed here: the scratch folder's own clean-up cannot reach paths this long.
  struct LongTreeCleanup {
    UpdaterRig& rig;
    std::string top;
    ~LongTreeCleanup() {
      rig.app().process().kill();
      remove_tree_anywhere(top);
    }
  } cleanup{rig, current.substr(0, current.find('\\', rig.folder().path().size() + 1))};

  std::vector<tools::Bytes> flagged;
  for (const char* name : {"firmware.cam", "database.cam"}) {
    tools::CamFields cam;
    flagged.push_back(tools::build_update_file(cam, tools::generated_payload(3000, 9)));
    ASSERT_TRUE(write_file_anywhere(current + "\\" + name, flagged.back()));
  }
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_in(current));
  DialogApp& app = rig.app();
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)})) << app.describe();
  ASSERT_TRUE(app.click(kUpdateButton));
  if (folder.fits) {
    EXPECT_TRUE(run_to_end(app, {{kFinished}, {}, Ending::exits}));
    const tools::Bytes full = expected_stream(flagged);
    EXPECT_EQ(settled_capture(rig, full.size()), full);
  } else {
    EXPECT_TRUE(run_to_end(app, {{kFolderTooLong}, {}, Ending::keeps_running}));
    // Checked with the folder, before the identification byte: the device gets nothing.
    EXPECT_EQ(rig.capture(), tools::Bytes{}) << "nothing is written";
    EXPECT_TRUE(app.enabled(kUpdateButton));
  }
  keep_screenshots_on_failure(app);
}

// "\database.cam" has 13 characters: 246 + 13 = 259 still fits.
INSTANTIATE_TEST_SUITE_P(Faults, FaultFolderLength,
                         ::testing::Values(FolderLength{246, true}, FolderLength{247, false},
                                           FolderLength{250, false}),
                         [](const ::testing::TestParamInfo<FolderLength>& info) {
                           return std::to_string(info.param.length) + "_characters";
                         });

// ---- The pipe library and the driver installer ------------------------------------------

enum class LibraryForm { missing, lacking_open_file, planted_in_current_directory, of_the_other_bitness };

struct LibraryFault {
  const char* name;
  LibraryForm form;
};

void PrintTo(const LibraryFault& fault, std::ostream* os) { *os << fault.name; }

class FaultLibrary : public ::testing::TestWithParam<LibraryFault> {};

// Built from tests/e2e/fixtures: exports open_dev only.
constexpr char kHalfLibrary[] = "BMC51xUSB-no-open_file.dll";

TEST_P(FaultLibrary, IsReportedNeverUsedAndNothingReachesTheDevice) {
  const LibraryFault& fault = GetParam();
  UpdaterRig rig(std::string("fault-lib-") + fault.name);
  const std::string app_folder = rig.folder().subfolder("app");
  UpdaterFiles files;
  files.library = false;
  const std::string exe = install_updater(app_folder, files);
  ASSERT_FALSE(exe.empty());
  if (fault.form == LibraryForm::lacking_open_file) {
    ASSERT_TRUE(copy_file(join_path(bin_folder(), kHalfLibrary), join_path(app_folder, kLibraryDll)))
        << kHalfLibrary << " is missing from " << bin_folder() << ": build the fixture library";
  }
  if (fault.form == LibraryForm::planted_in_current_directory) {
    ASSERT_TRUE(copy_file(join_path(bin_folder(), kLibraryDll), rig.folder().file(kLibraryDll)));
  }
  if (fault.form == LibraryForm::of_the_other_bitness) {
    ASSERT_TRUE(copy_file(join_path(bin_folder(), PUSHWELL_OTHER_BITNESS_LIBRARY), join_path(app_folder, kLibraryDll)))
        << PUSHWELL_OTHER_BITNESS_LIBRARY << " is missing: build the other Windows preset too";
  }
  write_planned_files(rig, {{"firmware.cam", 3000}, {"database.cam", 100}});
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater(exe));
  DialogApp& app = rig.app();
  HWND box = app.wait_for_message_box(kLibraryUnloaded);
  ASSERT_NE(box, nullptr) << app.describe();
  if (fault.form == LibraryForm::of_the_other_bitness) {
    // The library's bitness and the build that loads it, on a line of their own.
    EXPECT_EQ(message_box_text(box), std::string(kLibraryUnloaded) + "\n" + msg(sizeof(void*) == 8 ? 2014 : 2015));
  }
  ASSERT_TRUE(app.answer(box));
  EXPECT_EQ(app.text(kLinkStatus), msg(1025)) << "never shown as linked";

  ASSERT_TRUE(app.click(kUpdateButton));
  EXPECT_TRUE(run_to_end(app, {{kNotConnected}, {library_unloaded()}, Ending::keeps_running}));
  EXPECT_TRUE(rig.capture().empty());
  const sim::Status status = rig.device_status();
  EXPECT_EQ(status.identify_requests, 0);
  EXPECT_EQ(status.out_clients + status.in_clients, 0);
  keep_screenshots_on_failure(app);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultLibrary,
                         ::testing::Values(LibraryFault{"missing", LibraryForm::missing},
                                           LibraryFault{"lacking_open_file", LibraryForm::lacking_open_file},
                                           LibraryFault{"planted_only_in_the_current_directory",
                                                        LibraryForm::planted_in_current_directory},
                                           LibraryFault{"of_the_other_bitness", LibraryForm::of_the_other_bitness}),
                         [](const ::testing::TestParamInfo<LibraryFault>& info) {
                           return std::string(info.param.name);
                         });

TEST(FaultInstaller, MissingInstallerShowsNoBoxAndTheUpdateWorksOncePlugged) {
  UpdaterRig rig("fault-no-installer");
  const std::vector<tools::Bytes> flagged =
      write_planned_files(rig, {{"firmware.cam", 3000}, {"database.cam", 100}});
  ASSERT_TRUE(rig.start_device({"--unplugged"}));
  ASSERT_TRUE(rig.start_updater());
  DialogApp& app = rig.app();
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1025)}));
  // Several polls at the unlinked period; the failed start must not show anything.
  app.wait_until([&] { return !app.open_message_boxes().empty() || !app.process().running(); }, Millis{3000});
  EXPECT_TRUE(app.boxes_seen().empty()) << app.describe();
  ASSERT_TRUE(app.process().running());

  ASSERT_TRUE(rig.device_command("plug"));
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)}));
  ASSERT_TRUE(app.click(kUpdateButton));
  EXPECT_TRUE(run_to_end(app, {{kFinished}, {}, Ending::exits}));
  const tools::Bytes full = expected_stream(flagged);
  EXPECT_EQ(settled_capture(rig, full.size()), full);
  keep_screenshots_on_failure(app);
}

}  // namespace
}  // namespace pw::e2e
