#include "ui/look.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "ui/gradient_bands.h"

namespace pw {
namespace {

constexpr std::uint32_t rgb(std::uint32_t r, std::uint32_t g, std::uint32_t b) { return make_color(r, g, b); }

// Windows' default light colours, and the High Contrast schemes Windows ships
// (window, window text, highlight, highlight text, button face), as their
// theme files set them.
constexpr SystemColors kDefaultLight{rgb(255, 255, 255), rgb(0, 0, 0), rgb(0, 120, 215), rgb(255, 255, 255),
                                     rgb(240, 240, 240)};
struct Scheme {
  const char* name;
  SystemColors colors;
};
constexpr Scheme kHighContrastSchemes[] = {
    {"Aquatic (Windows 11)", {rgb(0x20, 0x20, 0x20), rgb(0xFF, 0xFF, 0xFF), rgb(0x8E, 0xE3, 0xF0), rgb(0x26, 0x3B, 0x50), rgb(0x20, 0x20, 0x20)}},
    {"Desert (Windows 11)", {rgb(0xFF, 0xFA, 0xEF), rgb(0x3D, 0x3D, 0x3D), rgb(0x90, 0x39, 0x09), rgb(0xFF, 0xF5, 0xE3), rgb(0xFF, 0xFA, 0xEF)}},
    {"Dusk (Windows 11)", {rgb(0x2D, 0x32, 0x36), rgb(0xFF, 0xFF, 0xFF), rgb(0xA1, 0xBF, 0xDE), rgb(0x21, 0x2D, 0x3B), rgb(0x2D, 0x32, 0x36)}},
    {"Night sky (Windows 11)", {rgb(0, 0, 0), rgb(0xFF, 0xFF, 0xFF), rgb(0xD6, 0xB4, 0xFD), rgb(0x2B, 0x2B, 0x2B), rgb(0x29, 0x29, 0x29)}},
    {"High Contrast Black (Windows 10)", {rgb(0, 0, 0), rgb(0xFF, 0xFF, 0xFF), rgb(0x1A, 0xEB, 0xFF), rgb(0, 0, 0), rgb(0, 0, 0)}},
    {"High Contrast White (Windows 10)", {rgb(0xFF, 0xFF, 0xFF), rgb(0, 0, 0), rgb(0x37, 0x00, 0x6E), rgb(0xFF, 0xFF, 0xFF), rgb(0xFF, 0xFF, 0xFF)}},
    // Its own highlight pair reads at 3.9:1: the percentage takes the window colour there.
    {"High Contrast #1 (Windows 10)", {rgb(0, 0, 0), rgb(0xFF, 0xFF, 0), rgb(0, 0x80, 0), rgb(0xFF, 0xFF, 0xFF), rgb(0, 0, 0)}},
};

// The least contrast of the percentage over every colour of the filled part, and
// over the empty part; and of the window's text where the window paints its own.
struct Contrasts {
  double over_filled;
  double over_empty;
  double window;
};
Contrasts contrasts_of(const Look& look) {
  const GradientPlan plan(look.bar.start, look.bar.end, 256, 256);
  double over_filled = 21.0;
  for (int i = 0; i < plan.band_count(); ++i)
    over_filled = std::min(over_filled, contrast_ratio(look.bar.text_over_filled, plan.band(i).color));
  return Contrasts{over_filled, contrast_ratio(look.bar.text_over_empty, look.bar.empty),
                   contrast_ratio(look.window_text, look.window_background)};
}

TEST(Look, LuminanceAndContrastFollowWcag) {
  EXPECT_DOUBLE_EQ(relative_luminance(rgb(0, 0, 0)), 0.0);
  EXPECT_DOUBLE_EQ(relative_luminance(rgb(255, 255, 255)), 1.0);
  EXPECT_DOUBLE_EQ(contrast_ratio(rgb(0, 0, 0), rgb(255, 255, 255)), 21.0);
  EXPECT_DOUBLE_EQ(contrast_ratio(rgb(255, 255, 255), rgb(0, 0, 0)), 21.0);
  EXPECT_NEAR(contrast_ratio(rgb(0x76, 0x76, 0x76), rgb(255, 255, 255)), 4.54, 0.01);  // the known AA grey
  // Green weighs most, blue least: channels are read from the 0x00BBGGRR layout.
  EXPECT_NEAR(relative_luminance(rgb(0, 255, 0)), 0.7152, 1e-9);
  EXPECT_NEAR(relative_luminance(rgb(0, 0, 255)), 0.0722, 1e-9);
}

TEST(Look, EveryTextReadsOnItsBackgroundInDarkAndEveryShippedHighContrastScheme) {
  const Look dark = choose_look(false, true, kDefaultLight);
  EXPECT_EQ(dark.mode, LookMode::dark);
  EXPECT_TRUE(dark.paints_window);
  const Contrasts d = contrasts_of(dark);
  EXPECT_GE(d.over_filled, kReadableContrast);
  EXPECT_GE(d.over_empty, kReadableContrast);
  EXPECT_GE(d.window, kReadableContrast);
  std::printf("%-34s over filled %5.2f  over empty %5.2f  window %5.2f\n", "dark", d.over_filled, d.over_empty,
              d.window);

  for (const Scheme& scheme : kHighContrastSchemes) {
    // Dark apps make no difference while High Contrast is on.
    for (const bool apps_dark : {false, true}) {
      const Look look = choose_look(true, apps_dark, scheme.colors);
      EXPECT_EQ(look.mode, LookMode::high_contrast) << scheme.name;
      EXPECT_FALSE(look.paints_window) << scheme.name << ": the window is left to the system";
      // No gradient: the filled part is the highlight, the rest the window.
      EXPECT_EQ(look.bar.start, scheme.colors.highlight) << scheme.name;
      EXPECT_EQ(look.bar.end, scheme.colors.highlight) << scheme.name;
      EXPECT_EQ(look.bar.empty, scheme.colors.window) << scheme.name;
      const Contrasts c = contrasts_of(look);
      EXPECT_GE(c.over_filled, kReadableContrast) << scheme.name;
      EXPECT_GE(c.over_empty, kReadableContrast) << scheme.name;
      if (!apps_dark)
        std::printf("%-34s over filled %5.2f  over empty %5.2f\n", scheme.name, c.over_filled, c.over_empty);
    }
  }
}

TEST(Look, HighContrastTakesTheSystemsOwnTextColoursWhereTheyRead) {
  const SystemColors aquatic = kHighContrastSchemes[0].colors;
  const Look look = choose_look(true, false, aquatic);
  EXPECT_EQ(look.bar.text_over_filled, aquatic.highlight_text);
  EXPECT_EQ(look.bar.text_over_empty, aquatic.window_text);
  // A scheme of the user's own whose highlight text is unreadable: the system colour
  // that reads best there (its dark window, 4.1:1, over white, 3.9:1), never one of ours.
  SystemColors custom = aquatic;
  custom.highlight = rgb(0x80, 0x80, 0x80);
  custom.highlight_text = rgb(0x90, 0x90, 0x90);
  EXPECT_EQ(choose_look(true, false, custom).bar.text_over_filled, custom.window);
}

TEST(Look, LightKeepsTheBarsOwnColoursOnTheSystemsButtonFace) {
  const Look light = choose_look(false, false, kDefaultLight);
  EXPECT_EQ(light.mode, LookMode::light);
  EXPECT_FALSE(light.paints_window);
  EXPECT_EQ(light.bar.start, 0x808000u);
  EXPECT_EQ(light.bar.end, 0x800000u);
  EXPECT_EQ(light.bar.text_over_filled, 0x008000u);
  EXPECT_EQ(light.bar.text_over_empty, 0x008000u);
  EXPECT_EQ(light.bar.empty, kDefaultLight.button_face);
  EXPECT_TRUE(light.bar.blank_in_button_face);
  EXPECT_FALSE(choose_look(false, true, kDefaultLight).bar.blank_in_button_face) << "no light blank bar in the dark";
  const Contrasts l = contrasts_of(light);
  std::printf("%-34s over filled %5.2f  over empty %5.2f\n", "light (as always drawn)", l.over_filled, l.over_empty);
  // A change of any input changes the look, so a settings change is seen as one.
  EXPECT_NE(choose_look(false, false, kDefaultLight), choose_look(false, true, kDefaultLight));
  EXPECT_NE(choose_look(false, false, kDefaultLight), choose_look(true, false, kDefaultLight));
}

}  // namespace
}  // namespace pw
