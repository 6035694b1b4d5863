// What Explorer's Details tab and the loader see in the built programs: the
// version resource of each, read back by the system's version reader; the
// updater's manifest; and the version label the shipped language files show.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pushwell_version.h"

namespace {

std::string bin_dir() {
  char path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of('\\') + 1);
}

class VersionResource {
 public:
  explicit VersionResource(const std::string& file) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(file.c_str(), &ignored);
    if (size == 0) return;
    data_.resize(size);
    if (!::GetFileVersionInfoA(file.c_str(), 0, size, data_.data())) data_.clear();
  }
  bool present() const { return !data_.empty(); }

  const VS_FIXEDFILEINFO* fixed() const {
    void* p = nullptr;
    UINT len = 0;
    if (!present() || !::VerQueryValueA(data_.data(), "\\", &p, &len) || len < sizeof(VS_FIXEDFILEINFO)) return nullptr;
    return static_cast<const VS_FIXEDFILEINFO*>(p);
  }

  // A string field in the first language the resource lists, as a reader such as Explorer finds it.
  std::string field(const char* name) const {
    struct Translation {
      WORD language, code_page;
    };
    void* p = nullptr;
    UINT len = 0;
    if (!present() || !::VerQueryValueA(data_.data(), "\\VarFileInfo\\Translation", &p, &len) ||
        len < sizeof(Translation))
      return "<no translation>";
    const auto* t = static_cast<const Translation*>(p);
    char query[128];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", t->language, t->code_page, name);
    if (!::VerQueryValueA(data_.data(), query, &p, &len) || len == 0) return "<missing>";
    return std::string(static_cast<const char*>(p));
  }

 private:
  std::vector<char> data_;
};

// Every program and library the build makes for the device maker's tree, with its file type.
struct Built {
  const char* file;
  DWORD type;
};
constexpr Built kBuilt[] = {
    {"Pushwell.exe", VFT_APP}, {"BMC51xUSB.dll", VFT_DLL}, {"devsim.exe", VFT_APP},
    {"InstallUsbDrive.exe", VFT_APP}, {"camtool.exe", VFT_APP}, {"win_tests.exe", VFT_APP},
};

TEST(VersionResource, EveryBuiltFileCarriesTheProjectVersion) {
  const DWORD version_ms = (PUSHWELL_VERSION_MAJOR << 16) | PUSHWELL_VERSION_MINOR;
  const DWORD version_ls = PUSHWELL_VERSION_PATCH << 16;
  for (const Built& built : kBuilt) {
    SCOPED_TRACE(built.file);
    const VersionResource info(bin_dir() + built.file);
    ASSERT_TRUE(info.present()) << "no version resource";
    const VS_FIXEDFILEINFO* fixed = info.fixed();
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, version_ms);
    EXPECT_EQ(fixed->dwFileVersionLS, version_ls);
    EXPECT_EQ(fixed->dwProductVersionMS, version_ms);
    EXPECT_EQ(fixed->dwProductVersionLS, version_ls);
    EXPECT_EQ(fixed->dwFileType, built.type);
    EXPECT_EQ(info.field("FileVersion"), PUSHWELL_VERSION_STRING);
    EXPECT_EQ(info.field("ProductVersion"), PUSHWELL_VERSION_STRING);
    EXPECT_EQ(info.field("ProductName"), "Pushwell");
    EXPECT_EQ(info.field("OriginalFilename"), built.file);
    EXPECT_FALSE(info.field("CompanyName").empty());
    EXPECT_NE(info.field("CompanyName"), "<missing>");
    EXPECT_NE(info.field("FileDescription"), "<missing>");
  }
}

TEST(VersionResource, TheUpdaterDescribesItself) {
  const VersionResource info(bin_dir() + "Pushwell.exe");
  ASSERT_TRUE(info.present());
  EXPECT_EQ(info.field("FileDescription"), "Pushwell device updater");
  EXPECT_EQ(info.field("InternalName"), "Pushwell");
  for (const char* name : {"FileVersion", "ProductVersion", "ProductName", "FileDescription", "OriginalFilename",
                           "InternalName", "CompanyName"}) {
    std::printf("Pushwell.exe %-16s %s\n", name, info.field(name).c_str());
  }
}

std::string manifest_of(const std::string& file) {
  HMODULE module = ::LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) return {};
  std::string text;
  if (HRSRC res = ::FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24))) {
    if (HGLOBAL loaded = ::LoadResource(module, res)) {
      text.assign(static_cast<const char*>(::LockResource(loaded)), ::SizeofResource(module, res));
    }
  }
  ::FreeLibrary(module);
  return text;
}

TEST(UpdaterManifest, DeclaresVersionPrivilegesControlsSystemsAndDpiAwareness) {
  const std::string manifest = manifest_of(bin_dir() + "Pushwell.exe");
  ASSERT_FALSE(manifest.empty()) << "no manifest resource";
  char identity[128];
  std::snprintf(identity, sizeof identity, "name=\"Pushwell.Updater\" version=\"%d.%d.%d.0\"", PUSHWELL_VERSION_MAJOR,
                PUSHWELL_VERSION_MINOR, PUSHWELL_VERSION_PATCH);
  const char* expected[] = {
      identity,
      "level=\"asInvoker\" uiAccess=\"false\"",
      "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
      "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
      "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
      "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
      "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
      ">true</dpiAware>",
      ">PerMonitorV2, System</dpiAwareness>",
  };
  for (const char* part : expected) EXPECT_NE(manifest.find(part), std::string::npos) << part;
}

// lang.ini and every language pack beside the executable, as the package lays them out.
std::vector<std::string> shipped_language_files() {
  std::vector<std::string> files{bin_dir() + "lang.ini"};
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA((bin_dir() + "lang\\*.ini").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do files.push_back(bin_dir() + "lang\\" + found.cFileName);
    while (::FindNextFileA(search, &found));
    ::FindClose(search);
  }
  return files;
}

// The version stands in the label as a whole: "2.0.0" is not named by "12.0.0" or "2.0.0.1".
bool names_version(const std::string& label, const std::string& version) {
  const auto digit = [&](size_t i) { return i < label.size() && label[i] >= '0' && label[i] <= '9'; };
  for (auto at = label.find(version); at != std::string::npos; at = label.find(version, at + 1)) {
    const size_t end = at + version.size();
    const bool starts = at == 0 || (!digit(at - 1) && label[at - 1] != '.');
    const bool ends = !digit(end) && !(end < label.size() && label[end] == '.' && digit(end + 1));
    if (starts && ends) return true;
  }
  return false;
}

TEST(ShippedLanguageFiles, VersionLabelCheckTellsTheVersionFromLongerOnes) {
  EXPECT_TRUE(names_version("Version number: 2.0.0", "2.0.0"));
  EXPECT_TRUE(names_version("Version 2.0.0.", "2.0.0"));
  EXPECT_TRUE(names_version("2.0.0 (build 7)", "2.0.0"));
  EXPECT_FALSE(names_version("Version number: 12.0.0", "2.0.0"));
  EXPECT_FALSE(names_version("Version number: 2.0.01", "2.0.0"));
  EXPECT_FALSE(names_version("Version number: 2.0.0.1", "2.0.0"));
  EXPECT_FALSE(names_version("Version number: 1.2.0.0", "2.0.0"));
}

TEST(ShippedLanguageFiles, VersionLabelShowsTheProjectVersion) {
  for (const std::string& file : shipped_language_files()) {
    SCOPED_TRACE(file);
    char label[260] = {};
    ::GetPrivateProfileStringA("info", "1037", "", label, sizeof label, file.c_str());
    EXPECT_TRUE(names_version(label, PUSHWELL_VERSION_STRING)) << "label: " << label;
  }
}

}  // namespace
