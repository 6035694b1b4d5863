// How the updater finds and binds the vendor's pipe library: exports by their
// plain or decorated names, and the search on a loader that refuses the
// restricted search flags, played by a stand-in for LoadLibraryExA.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "device/pipe_library.h"
#include "sim/sim_control.h"
#include "tests/win/test_tag.h"
#include "win/handles.h"
#include "win/module_path.h"

namespace {

using pw::LibrarySearch;
using pw::PipeLibrary;
using pw::UniqueHandle;
using namespace pw::sim;

constexpr DWORD kDeadlineMs = 15000;

using pw::test::test_tag;

// ---- Exports ------------------------------------------------------------------------

struct LibraryKind {
  const char* file;  // in bin/, built from sim/ and tests/e2e/fixtures
  const char* open_dev_export;
  const char* open_file_export;
};

void PrintTo(const LibraryKind& kind, std::ostream* os) { *os << kind.file; }

class PipeLibraryExports : public ::testing::TestWithParam<LibraryKind> {
 protected:
  void SetUp() override {
    device_ = unique_device_name(test_tag());
    env_ = std::make_unique<ScopedEnvironmentVariable>("PUSHWELL_SIM_DEVICE", device_.c_str());
    ASSERT_TRUE(sim_.launch(device_)) << "devsim did not come up for " << device_;
  }
  void TearDown() override { sim_.stop(); }

  std::string device_;
  std::unique_ptr<ScopedEnvironmentVariable> env_;
  DevsimProcess sim_;
};

// The variants that carry decorated names also carry stand-ins that always fail
// under the names a loader must not prefer: a handle that works proves the
// right export was taken, and a byte the device receives proves it is the pipe.
TEST_P(PipeLibraryExports, BindsTheDeviceFunctionsByTheNamesTheLibraryHas) {
  const LibraryKind& kind = GetParam();
  LibrarySearch search;
  search.file_name = kind.file;
  std::optional<PipeLibrary> library = PipeLibrary::load(search);
  ASSERT_TRUE(library) << kind.file << " did not load from " << pw::executable_folder();
  EXPECT_STREQ(library->open_dev_export(), kind.open_dev_export);
  EXPECT_STREQ(library->open_file_export(), kind.open_file_export);

  UniqueHandle device(library->open_dev());
  EXPECT_NE(device.get(), INVALID_HANDLE_VALUE) << "open_dev of a plugged device";
  EXPECT_EQ(library->open_file("PIPE77"), INVALID_HANDLE_VALUE) << "an unknown pipe";

  HANDLE raw = library->open_file(pw::kOutPipeName);
  ASSERT_NE(raw, INVALID_HANDLE_VALUE) << "open_file(PIPE00), error " << ::GetLastError();
  UniqueHandle out_pipe(raw);
  UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  unsigned char byte = 0x5A;
  if (!::WriteFile(out_pipe.get(), &byte, 1, nullptr, &ov)) {
    ASSERT_EQ(::GetLastError(), DWORD{ERROR_IO_PENDING});
  }
  ASSERT_EQ(::WaitForSingleObject(event.get(), kDeadlineMs), WAIT_OBJECT_0);
  DWORD written = 0;
  ASSERT_TRUE(::GetOverlappedResult(out_pipe.get(), &ov, &written, FALSE));
  EXPECT_EQ(written, 1u);
  EXPECT_TRUE(wait_for_status(device_, [](const Status& s) { return s.captured >= 1; }, kDeadlineMs));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PipeLibraryExports,
    ::testing::Values(LibraryKind{"BMC51xUSB.dll", "open_dev", "open_file"},
                      LibraryKind{"BMC51xUSB-stdcall.dll", "_open_dev@0", "_open_file@4"},
                      LibraryKind{"BMC51xUSB-stdcall-mingw.dll", "open_dev@0", "open_file@4"},
                      LibraryKind{"BMC51xUSB-plain-and-decorated.dll", "open_dev", "open_file"},
                      LibraryKind{"BMC51xUSB-both-decorations.dll", "_open_dev@0", "_open_file@4"}),
    [](const ::testing::TestParamInfo<LibraryKind>& info) {
      std::string name;
      for (const char* p = info.param.file; *p && *p != '.'; ++p) name.push_back(*p == '-' ? '_' : *p);
      return name;
    });

TEST(PipeLibraryExportsMissing, LibraryLackingOpenFileUnderEveryNameIsNotLoaded) {
  LibrarySearch search;
  search.file_name = "BMC51xUSB-no-open_file.dll";
  ASSERT_NE(::GetFileAttributesA((pw::executable_folder() + search.file_name).c_str()), INVALID_FILE_ATTRIBUTES)
      << "build the fixture library";
  EXPECT_FALSE(PipeLibrary::load(search));
}

// ---- Search on an older loader ------------------------------------------------------------

struct LoadAttempt {
  std::string file;
  DWORD flags;
  bool loaded;
};

std::vector<LoadAttempt>& attempts() {
  static std::vector<LoadAttempt> recorded;
  return recorded;
}

constexpr DWORD kRestrictedFlags = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                                   LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                   LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR;

// Windows 7 without its loader update: the restricted flags are refused, anything
// else is loaded as asked.
HMODULE loader_without_restricted_search(const char* file, DWORD flags) noexcept {
  if (flags & kRestrictedFlags) {
    attempts().push_back({file, flags, false});
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HMODULE module = ::LoadLibraryExA(file, nullptr, flags);
  const DWORD error = ::GetLastError();
  attempts().push_back({file, flags, module != nullptr});
  ::SetLastError(error);
  return module;
}

// A loader that takes the flags and finds nothing.
HMODULE loader_finding_nothing(const char* file, DWORD flags) noexcept {
  attempts().push_back({file, flags, false});
  ::SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

std::string system_folder() {
  char folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryA(folder, MAX_PATH);
  return std::string(folder, n);
}

std::string lower(std::string s) {
  if (!s.empty()) ::CharLowerBuffA(&s[0], static_cast<DWORD>(s.size()));
  return s;
}

bool inside(const std::string& path, const std::string& folder) {
  std::string prefix = lower(folder);
  if (prefix.back() != '\\') prefix.push_back('\\');
  return lower(path).compare(0, prefix.size(), prefix) == 0;
}

std::string describe(const std::vector<LoadAttempt>& list) {
  std::string text;
  for (const LoadAttempt& a : list)
    text += "\n  " + a.file + " flags=0x" + std::to_string(a.flags) + (a.loaded ? " loaded" : " not loaded");
  return text;
}

// Runs each test in a scratch current directory, with PATH naming only the
// system folder, so no folder the test does not know of takes part.
class PipeLibrarySearch : public ::testing::Test {
 protected:
  void SetUp() override {
    attempts().clear();
    char old[MAX_PATH];
    ::GetCurrentDirectoryA(MAX_PATH, old);
    old_directory_ = old;
    scratch_ = temp_file_path(test_tag());
    ASSERT_TRUE(::CreateDirectoryA(scratch_.c_str(), nullptr));
    ASSERT_TRUE(::SetCurrentDirectoryA(scratch_.c_str()));
    path_ = std::make_unique<ScopedEnvironmentVariable>("PATH", system_folder().c_str());
  }
  void TearDown() override {
    ::SetCurrentDirectoryA(old_directory_.c_str());
    for (const std::string& file : planted_) ::DeleteFileA(file.c_str());
    ::RemoveDirectoryA(scratch_.c_str());
  }
  // A copy of the simulator's library in the current directory only.
  void plant(const char* name) {
    const std::string target = scratch_ + "\\" + name;
    ASSERT_TRUE(::CopyFileA((pw::executable_folder() + pw::kPipeLibraryName).c_str(), target.c_str(), FALSE));
    planted_.push_back(target);
  }

  std::string old_directory_;
  std::string scratch_;
  std::vector<std::string> planted_;
  std::unique_ptr<ScopedEnvironmentVariable> path_;
};

TEST_F(PipeLibrarySearch, RefusedRestrictedSearchLoadsTheLibraryBesideTheExecutableByFullPath) {
  LibrarySearch search;
  search.load_library = &loader_without_restricted_search;
  std::optional<PipeLibrary> library = PipeLibrary::load(search);
  ASSERT_TRUE(library) << describe(attempts());
  EXPECT_STREQ(library->open_file_export(), "open_file");
  ASSERT_EQ(attempts().size(), 2u) << describe(attempts());
  EXPECT_EQ(attempts()[0].file, pw::kPipeLibraryName);
  EXPECT_NE(attempts()[0].flags & kRestrictedFlags, 0u);
  EXPECT_EQ(lower(attempts()[1].file), lower(pw::executable_folder() + pw::kPipeLibraryName));
  EXPECT_EQ(attempts()[1].flags, DWORD{LOAD_WITH_ALTERED_SEARCH_PATH});
  EXPECT_TRUE(attempts()[1].loaded);
}

TEST_F(PipeLibrarySearch, RefusedRestrictedSearchTriesTheSystemFolderNext) {
  // kernel32.dll is in the system folder and not beside the executable; it lacks
  // the exports, so the load as a whole still fails.
  LibrarySearch search;
  search.file_name = "kernel32.dll";
  search.load_library = &loader_without_restricted_search;
  EXPECT_FALSE(PipeLibrary::load(search));
  ASSERT_GE(attempts().size(), 3u) << describe(attempts());
  EXPECT_EQ(lower(attempts()[1].file), lower(pw::executable_folder() + "kernel32.dll"));
  EXPECT_FALSE(attempts()[1].loaded);
  EXPECT_EQ(lower(attempts()[2].file), lower(system_folder() + "\\kernel32.dll"));
  EXPECT_TRUE(attempts()[2].loaded) << describe(attempts());
}

TEST_F(PipeLibrarySearch, LibraryOnlyInTheCurrentDirectoryIsNeverLoaded) {
  constexpr char kName[] = "BMC51xUSB-only-here.dll";
  plant(kName);
  // PATH naming the current directory, relatively and in full, changes nothing.
  ScopedEnvironmentVariable path("PATH", (".;" + scratch_ + ";" + system_folder()).c_str());
  const pw::LoadLibraryExFn loaders[] = {nullptr, &loader_without_restricted_search};
  for (pw::LoadLibraryExFn loader : loaders) {
    SCOPED_TRACE(loader ? "restricted search refused" : "the platform's loader");
    attempts().clear();
    LibrarySearch search;
    search.file_name = kName;
    search.load_library = loader;
    EXPECT_FALSE(PipeLibrary::load(search)) << describe(attempts());
    EXPECT_EQ(::GetModuleHandleA(kName), nullptr);
    for (const LoadAttempt& attempt : attempts()) {
      EXPECT_FALSE(inside(attempt.file, scratch_)) << describe(attempts());
      if (&attempt != &attempts().front()) {
        EXPECT_EQ(attempt.file.compare(1, 2, ":\\"), 0) << attempt.file;
      }
    }
  }
}

TEST_F(PipeLibrarySearch, OtherLoadFailuresDoNotRepeatTheSearchByPath) {
  LibrarySearch search;
  search.load_library = &loader_finding_nothing;
  EXPECT_FALSE(PipeLibrary::load(search));
  ASSERT_EQ(attempts().size(), 1u) << describe(attempts());
  EXPECT_EQ(attempts()[0].file, pw::kPipeLibraryName);
}

}  // namespace
