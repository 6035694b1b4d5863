// The driver's own promises that the window tests build on: the started program
// gets the asked environment and directory, its exit code is read, and nothing
// started outlives its owner.
#include <gtest/gtest.h>

#include "tools/driver/driver.h"

namespace pw::e2e {
namespace {

struct MergeCase {
  const char* name;
  std::vector<std::string> inherited;
  EnvVars extra;
  std::vector<std::string> expected;
};

void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

class EnvironmentMerge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(EnvironmentMerge, AppliesExtraVariablesToInheritedOnes) {
  EXPECT_EQ(merge_environment(GetParam().inherited, GetParam().extra), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnvironmentMerge,
    ::testing::Values(
        MergeCase{"AddsNewVariableInNameOrder", {"A=1", "C=3"}, {{"B", "2"}}, {"A=1", "B=2", "C=3"}},
        MergeCase{"ReplacesVariableWhateverItsCase", {"Path=x", "TEMP=t"}, {{"PATH", "y"}}, {"PATH=y", "TEMP=t"}},
        MergeCase{"RemovesVariableGivenEmptyValue", {"A=1", "B=2"}, {{"b", ""}}, {"A=1"}},
        MergeCase{"KeepsDriveEntriesFirst", {"=C:=C:\\x", "A=1"}, {{"Z", "9"}}, {"=C:=C:\\x", "A=1", "Z=9"}},
        MergeCase{"LaterExtraWins", {}, {{"K", "1"}, {"k", "2"}}, {"k=2"}},
        MergeCase{"KeepsValueHoldingEqualsSign", {"A=x=y"}, {{"B", "p=q"}}, {"A=x=y", "B=p=q"}}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });

std::string system_cmd() {
  char folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryA(folder, MAX_PATH);
  return join_path(std::string(folder, n), "cmd.exe");
}

TEST(DriverProcess, RunsInGivenDirectoryWithExtraVariablesAndReportsExitCode) {
  ScratchFolder scratch("driver-process");
  ASSERT_TRUE(scratch.ok());
  ASSERT_TRUE(write_text_file(scratch.file("marker.txt"), "x"));
  const std::string variable = unique_name("PW_E2E_VAR");

  // cmd exits with 7 only when both the marker and the variable are there.
  LaunchOptions options;
  options.current_directory = scratch.path();
  options.environment = {{variable, "yes"}};
  options.arguments = "/c if exist marker.txt if \"%" + variable + "%\"==\"yes\" exit 7";
  Process cmd;
  ASSERT_TRUE(cmd.start(system_cmd(), options)) << cmd.error();
  EXPECT_EQ(cmd.wait_for_exit(), std::optional<DWORD>(7));

  options.current_directory = bin_folder();
  Process elsewhere;
  ASSERT_TRUE(elsewhere.start(system_cmd(), options)) << elsewhere.error();
  EXPECT_EQ(elsewhere.wait_for_exit(), std::optional<DWORD>(0));
}

TEST(DriverProcess, StartOfMissingProgramFailsWithReason) {
  Process missing;
  EXPECT_FALSE(missing.start(join_path(bin_folder(), "no-such-program.exe"), LaunchOptions{}));
  EXPECT_FALSE(missing.error().empty());
  EXPECT_FALSE(missing.running());
}

TEST(DriverProcess, EndsProgramStillRunningWhenDestroyed) {
  ScratchFolder scratch("driver-kill");
  ASSERT_TRUE(scratch.ok());
  const std::string exe = install_updater(scratch.path());
  ASSERT_FALSE(exe.empty());
  HANDLE copy = nullptr;
  {
    DialogApp app;
    LaunchOptions options;
    options.current_directory = scratch.path();
    options.environment = {{"PUSHWELL_SIM_DEVICE", unique_name("e2e-absent")}};
    ASSERT_TRUE(app.start(exe, options)) << app.process().error();
    ASSERT_TRUE(app.wait_for_main_dialog()) << app.describe();
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), app.process().handle(), ::GetCurrentProcess(), &copy,
                                  SYNCHRONIZE, FALSE, 0));
  }
  UniqueHandle process(copy);
  EXPECT_EQ(::WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
}

TEST(DriverScratch, RemovesFolderWithNestedFilesAtEnd) {
  std::string path;
  {
    ScratchFolder scratch("driver-scratch");
    ASSERT_TRUE(scratch.ok());
    path = scratch.path();
    ASSERT_TRUE(write_text_file(join_path(scratch.subfolder("inner"), "file.txt"), "data"));
    ASSERT_TRUE(file_exists(join_path(scratch.file("inner"), "file.txt")));
  }
  char keep[8];
  if (::GetEnvironmentVariableA("PUSHWELL_E2E_KEEP", keep, sizeof keep) > 0) GTEST_SKIP() << "scratch folders kept";
  EXPECT_EQ(::GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace pw::e2e
