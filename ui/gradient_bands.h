#pragma once
// Arithmetic of the gradient progress bar, kept apart from the drawing so it can be
// checked without a window: which bands to fill, in which colours, where the flat
// background begins, and the percentage text.
#include <cstdint>
#include <string>

namespace pw {

// Colours in COLORREF layout: 0x00BBGGRR.
constexpr std::uint32_t color_red(std::uint32_t c) noexcept { return c & 0xFFu; }
constexpr std::uint32_t color_green(std::uint32_t c) noexcept { return (c >> 8) & 0xFFu; }
constexpr std::uint32_t color_blue(std::uint32_t c) noexcept { return (c >> 16) & 0xFFu; }
constexpr std::uint32_t make_color(std::uint32_t r, std::uint32_t g, std::uint32_t b) noexcept {
  return (r & 0xFFu) | (g & 0xFFu) << 8 | (b & 0xFFu) << 16;
}

// One solid band, covering x from `left` up to (not including) `right`, full height.
struct Band {
  int left;
  int right;
  std::uint32_t color;
};

// The fills of one paint of a client area `width` pixels wide whose filled part ends
// at `extent`: bands 0 .. band_count()-1 in the gradient, then the background from
// background_left() to the right edge (nothing when background_left() == width).
//
// The gradient is fixed to the bar: one band per unit of the channel that changes
// most, so a band's colour depends on its index only and progress merely uncovers
// more bands. The band holding the extent is drawn whole; an extent exactly on a band
// edge therefore shows one more band. Equal colours draw the filled part in the
// start colour.
class GradientPlan {
 public:
  static constexpr int kMaxBands = 255;

  GradientPlan(std::uint32_t start_color, std::uint32_t end_color, int width, int extent) noexcept;

  // The number of colour steps between start and end (0 to 255).
  int step_count() const noexcept { return steps_; }
  int band_count() const noexcept { return bands_; }
  Band band(int index) const noexcept;
  int background_left() const noexcept { return background_left_; }
  bool has_background() const noexcept { return background_left_ < width_; }

 private:
  int band_left(int index) const noexcept;
  int band_right(int index) const noexcept;

  std::uint32_t start_;
  int width_;
  int steps_ = 0;
  float band_width_ = 0.0f;
  float increment_[3] = {0.0f, 0.0f, 0.0f};  // red, green, blue per band
  int bands_ = 0;
  int background_left_ = 0;
  int flat_right_ = 0;  // right edge of the single band drawn when the colours are equal
};

// The bar shows nothing of its state when the position is outside the bounds, and
// also when the upper bound cannot serve as the divisor of the fractions.
bool paints_blank(int position, int lower, int upper) noexcept;

// Pixels of a `width` wide bar covered by `position` of `upper` (the lower bound does
// not offset the fraction). Truncated toward zero; 0 when upper <= 0.
int filled_extent(int position, int upper, int width) noexcept;

// "42%" or "42% : label" for position 42 of 100; empty when upper <= 0.
std::string percent_text(int position, int upper, const std::string& label);

}  // namespace pw
