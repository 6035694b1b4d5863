#include "ui/look.h"

#include <cmath>
#include <initializer_list>

#include "ui/gradient_bands.h"

namespace pw {

namespace {

// The bar as it has always been drawn.
constexpr std::uint32_t kLightBarStart = 0x808000;
constexpr std::uint32_t kLightBarEnd = 0x800000;
constexpr std::uint32_t kLightBarText = 0x008000;

// Dark: the window as Windows' own dark surfaces, a blue the white percentage reads on.
constexpr std::uint32_t kDarkWindow = 0x202020;
constexpr std::uint32_t kDarkText = 0xFFFFFF;
constexpr std::uint32_t kDarkBarStart = 0xB85F00;  // red 0, green 95, blue 184
constexpr std::uint32_t kDarkBarEnd = 0x6E3200;    // red 0, green 50, blue 110
constexpr std::uint32_t kDarkBarEmpty = 0x2B2B2B;

// The system's text colour for a background, unless a scheme of the user's own makes
// it unreadable there: then the system colour that reads best on it.
std::uint32_t readable_system_text(std::uint32_t wanted, std::uint32_t background, const SystemColors& system) {
  if (contrast_ratio(wanted, background) >= kReadableContrast) return wanted;
  std::uint32_t best = wanted;
  for (const std::uint32_t candidate : {system.window_text, system.highlight_text, system.window, system.highlight}) {
    if (contrast_ratio(candidate, background) > contrast_ratio(best, background)) best = candidate;
  }
  return best;
}

double linear_channel(std::uint32_t channel) {
  const double c = static_cast<double>(channel) / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

}  // namespace

Look choose_look(bool high_contrast, bool apps_dark, const SystemColors& system) noexcept {
  if (high_contrast) {
    // Every colour from the system, and no gradient: the user chose these colours to read.
    const BarColors bar{system.highlight, system.highlight, system.window,
                        readable_system_text(system.highlight_text, system.highlight, system),
                        readable_system_text(system.window_text, system.window, system), false};
    return Look{LookMode::high_contrast, bar, false, system.window, system.window_text};
  }
  if (apps_dark) {
    return Look{LookMode::dark, BarColors{kDarkBarStart, kDarkBarEnd, kDarkBarEmpty, kDarkText, kDarkText, false}, true,
                kDarkWindow, kDarkText};
  }
  return Look{LookMode::light,
              BarColors{kLightBarStart, kLightBarEnd, system.button_face, kLightBarText, kLightBarText, true}, false,
              system.button_face, system.window_text};
}

double relative_luminance(std::uint32_t color) noexcept {
  return 0.2126 * linear_channel(color_red(color)) + 0.7152 * linear_channel(color_green(color)) +
         0.0722 * linear_channel(color_blue(color));
}

double contrast_ratio(std::uint32_t a, std::uint32_t b) noexcept {
  const double la = relative_luminance(a);
  const double lb = relative_luminance(b);
  return la > lb ? (la + 0.05) / (lb + 0.05) : (lb + 0.05) / (la + 0.05);
}

}  // namespace pw
