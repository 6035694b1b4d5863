// What a user who reads the screen in High Contrast or in dark mode sees: the
// window follows the setting while it runs, read back from the screen's pixels.
#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

constexpr int kProgressBar = 1003;
constexpr char kTestUpdater[] = "Pushwell-test.exe";  // reads High Contrast from a file

// A registry value of the current user, set for one test and put back as it was.
class UserValue {
 public:
  UserValue(const wchar_t* key, const wchar_t* name) : key_(key), name_(name) {
    DWORD type = 0, size = 0;
    if (::RegGetValueW(HKEY_CURRENT_USER, key_, name_, RRF_RT_ANY, &type, nullptr, &size) == ERROR_SUCCESS) {
      old_.resize(size);
      if (::RegGetValueW(HKEY_CURRENT_USER, key_, name_, RRF_RT_ANY, &type, old_.data(), &size) == ERROR_SUCCESS) {
        old_type_ = type;
        old_.resize(size);
        existed_ = true;
      }
    }
  }
  ~UserValue() {
    if (existed_)
      ::RegSetKeyValueW(HKEY_CURRENT_USER, key_, name_, old_type_, old_.data(), static_cast<DWORD>(old_.size()));
    else
      ::RegDeleteKeyValueW(HKEY_CURRENT_USER, key_, name_);
  }
  bool set_dword(DWORD value) {
    return ::RegSetKeyValueW(HKEY_CURRENT_USER, key_, name_, REG_DWORD, &value, sizeof value) == ERROR_SUCCESS;
  }
  bool set_text(const std::wstring& text) {
    return ::RegSetKeyValueW(HKEY_CURRENT_USER, key_, name_, REG_SZ, text.c_str(),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }

 private:
  const wchar_t* key_;
  const wchar_t* name_;
  bool existed_ = false;
  DWORD old_type_ = 0;
  std::vector<BYTE> old_;
};

constexpr wchar_t kPersonalize[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";

// What Windows broadcasts when a setting changes; the updater re-reads them then.
void announce_setting(HWND window, WPARAM action, const wchar_t* area) {
  DWORD_PTR result = 0;
  ::SendMessageTimeoutW(window, WM_SETTINGCHANGE, action, reinterpret_cast<LPARAM>(area), SMTO_ABORTIFHUNG, 5000,
                        &result);
}

// Waits until the pixel at (x, y) of `window`'s client area shows `color`.
::testing::AssertionResult shows(DialogApp& app, HWND window, int x, int y, COLORREF color, const char* what) {
  std::optional<COLORREF> seen;
  if (app.wait_until([&] { return (seen = screen_pixel(window, x, y)) == color; }))
    return ::testing::AssertionSuccess();
  char text[160];
  std::snprintf(text, sizeof text, "%s: wanted 0x%06lX, the screen shows %s0x%06lX", what,
                static_cast<unsigned long>(color), seen ? "" : "nothing readable, last ",
                static_cast<unsigned long>(seen.value_or(0)));
  return ::testing::AssertionFailure() << text;
}

struct BarPoints {
  HWND bar;
  int left_x, right_x, mid_y;
};
BarPoints bar_points(HWND dialog) {
  const HWND bar = ::GetDlgItem(dialog, kProgressBar);
  RECT client{};
  ::GetClientRect(bar, &client);
  // Clear of the centred percentage: the bar's first pixels and its last ones.
  return BarPoints{bar, 2, client.right - 3, client.bottom / 2};
}

// The dialog's background, the bar's empty part, then both again after the user's
// apps switched to dark and back, each time without a restart.
TEST(Look, TheWindowFollowsTheDarkSettingWhileItRuns) {
  UserValue apps_light(kPersonalize, L"AppsUseLightTheme");
  ASSERT_TRUE(apps_light.set_dword(1));
  UpdaterRig rig("look-dark");
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  const HWND dialog = rig.app().main_dialog();
  const BarPoints bar = bar_points(dialog);
  const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
  EXPECT_TRUE(shows(rig.app(), dialog, 1, 1, face, "light: the dialog"));
  EXPECT_TRUE(shows(rig.app(), bar.bar, bar.right_x, bar.mid_y, face, "light: the empty bar"));

  ASSERT_TRUE(apps_light.set_dword(0));
  announce_setting(dialog, 0, L"ImmersiveColorSet");
  EXPECT_TRUE(shows(rig.app(), dialog, 1, 1, 0x202020, "dark: the dialog"));
  EXPECT_TRUE(shows(rig.app(), bar.bar, bar.right_x, bar.mid_y, 0x2B2B2B, "dark: the empty bar"));

  ASSERT_TRUE(apps_light.set_dword(1));
  announce_setting(dialog, 0, L"ImmersiveColorSet");
  EXPECT_TRUE(shows(rig.app(), dialog, 1, 1, face, "light again: the dialog"));
  EXPECT_TRUE(shows(rig.app(), bar.bar, bar.right_x, bar.mid_y, face, "light again: the empty bar"));
}

// Night sky's colours (Windows 11) as the system's colours, and High Contrast
// switched through the test link's seam: at idle on and off again, then on during
// a transfer, which goes on to the end.
TEST(Look, HighContrastPaintsTheBarInTheSystemsColoursAlsoMidTransfer) {
  const std::pair<const wchar_t*, const wchar_t*> night_sky[] = {
      {L"Window", L"0 0 0"}, {L"WindowText", L"255 255 255"}, {L"Hilight", L"214 180 253"},
      {L"HilightText", L"43 43 43"}, {L"ButtonFace", L"41 41 41"}};
  std::vector<std::unique_ptr<UserValue>> colors;
  for (const auto& [name, value] : night_sky) {
    colors.push_back(std::make_unique<UserValue>(L"Control Panel\\Colors", name));
    ASSERT_TRUE(colors.back()->set_text(value));
  }
  constexpr COLORREF kWindow = RGB(0, 0, 0), kHighlight = RGB(214, 180, 253), kFace = RGB(41, 41, 41);

  UpdaterRig rig("look-high-contrast");
  const std::string seam = rig.folder().file("high-contrast.txt");
  ASSERT_TRUE(write_text_file(seam, "0"));
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 1500 * 1024);
  const tools::Bytes database = rig.write_update_file("database.cam", 1024, 1, 2);
  ASSERT_TRUE(rig.start_device({"--rate", "100000"}));
  LaunchOptions options = rig.updater_options(rig.folder().path());
  options.environment.push_back({"PUSHWELL_TEST_HIGH_CONTRAST", seam});
  ASSERT_TRUE(rig.app().start(join_path(bin_folder(), kTestUpdater), options));
  const HWND dialog = rig.app().wait_for_main_dialog();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(rig.app().wait_for_text(kLinkStatus, {msg(1024)}));
  const BarPoints bar = bar_points(dialog);

  // Off, the light look stands on the system's button face.
  EXPECT_TRUE(shows(rig.app(), bar.bar, bar.right_x, bar.mid_y, kFace, "off: the empty bar"));
  ASSERT_TRUE(write_text_file(seam, "1"));
  announce_setting(dialog, SPI_SETHIGHCONTRAST, nullptr);
  EXPECT_TRUE(shows(rig.app(), bar.bar, bar.right_x, bar.mid_y, kWindow, "on: the empty bar"));
  ASSERT_TRUE(write_text_file(seam, "0"));
  announce_setting(dialog, SPI_SETHIGHCONTRAST, nullptr);
  EXPECT_TRUE(shows(rig.app(), bar.bar, bar.right_x, bar.mid_y, kFace, "off again: the empty bar"));

  ASSERT_TRUE(rig.app().click(kUpdateButton));
  EXPECT_TRUE(shows(rig.app(), bar.bar, bar.left_x, bar.mid_y, 0x808000, "off: the gradient's first band"));
  ASSERT_TRUE(write_text_file(seam, "1"));
  announce_setting(dialog, SPI_SETHIGHCONTRAST, nullptr);
  EXPECT_TRUE(shows(rig.app(), bar.bar, bar.left_x, bar.mid_y, kHighlight, "on mid-transfer: the filled part"));
  EXPECT_TRUE(rig.finishes_with(expected_stream({firmware, database})));
}

}  // namespace
}  // namespace pw::e2e
