#pragma once
// Which colours the updater paints itself in: the light look it always had, a dark
// one where the user's apps are set to dark, and under High Contrast the system's
// own colours. Pure, so the contrast of every text on its background is checked
// without a window.
#include <cstdint>

namespace pw {

// The system colours the choice draws on (GetSysColor values, 0x00BBGGRR).
struct SystemColors {
  std::uint32_t window;          // COLOR_WINDOW
  std::uint32_t window_text;     // COLOR_WINDOWTEXT
  std::uint32_t highlight;       // COLOR_HIGHLIGHT
  std::uint32_t highlight_text;  // COLOR_HIGHLIGHTTEXT
  std::uint32_t button_face;     // COLOR_BTNFACE
};

enum class LookMode { light, dark, high_contrast };

// The progress bar: a gradient from `start` towards `end` over the filled part
// (equal colours: one flat fill), `empty` beyond it, and the percentage in
// `text_over_filled` where it stands on the filled part and `text_over_empty` on the rest.
// A position outside the bounds paints the bar blank: in the system's button face
// as it is at that paint (the light look), or all in `empty`.
struct BarColors {
  std::uint32_t start;
  std::uint32_t end;
  std::uint32_t empty;
  std::uint32_t text_over_filled;
  std::uint32_t text_over_empty;
  bool blank_in_button_face;
  bool operator==(const BarColors& o) const noexcept {
    return start == o.start && end == o.end && empty == o.empty && text_over_filled == o.text_over_filled &&
           text_over_empty == o.text_over_empty && blank_in_button_face == o.blank_in_button_face;
  }
};

struct Look {
  LookMode mode;
  BarColors bar;
  // Whether the dialogs paint their own background and texts (dark), or leave
  // them to the system (light and High Contrast).
  bool paints_window;
  std::uint32_t window_background;
  std::uint32_t window_text;
  bool operator==(const Look& o) const noexcept {
    return mode == o.mode && bar == o.bar && paints_window == o.paints_window &&
           window_background == o.window_background && window_text == o.window_text;
  }
  bool operator!=(const Look& o) const noexcept { return !(*this == o); }
};

// High Contrast wins over dark; dark applies only where the apps are set to dark.
Look choose_look(bool high_contrast, bool apps_dark, const SystemColors& system) noexcept;

// WCAG 2.x relative luminance of a 0x00BBGGRR colour (0 black .. 1 white), and the
// contrast ratio of two colours (1 to 21).
double relative_luminance(std::uint32_t color) noexcept;
double contrast_ratio(std::uint32_t a, std::uint32_t b) noexcept;

// The least contrast a text may have on its background (WCAG AA, normal text).
inline constexpr double kReadableContrast = 4.5;

}  // namespace pw
