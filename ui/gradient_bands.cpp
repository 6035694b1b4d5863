#include "ui/gradient_bands.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace pw {

GradientPlan::GradientPlan(std::uint32_t start_color, std::uint32_t end_color, int width, int extent) noexcept
    : start_(start_color), width_(std::max(width, 0)) {
  const int start[3] = {static_cast<int>(color_red(start_color)), static_cast<int>(color_green(start_color)),
                        static_cast<int>(color_blue(start_color))};
  const int end[3] = {static_cast<int>(color_red(end_color)), static_cast<int>(color_green(end_color)),
                      static_cast<int>(color_blue(end_color))};
  int delta[3];
  for (int c = 0; c < 3; ++c) {
    delta[c] = end[c] - start[c];
    steps_ = std::max(steps_, std::abs(delta[c]));
  }

  if (steps_ == 0) {
    // Nothing to grade: the filled part in the start colour, the rest background.
    flat_right_ = std::clamp(extent, 0, width_);
    bands_ = flat_right_ > 0 ? 1 : 0;
    background_left_ = flat_right_;
    return;
  }

  // Held in single precision, as the band edges and colours are defined by them.
  band_width_ = static_cast<float>(width_) / static_cast<float>(steps_);
  for (int c = 0; c < 3; ++c) increment_[c] = static_cast<float>(delta[c]) / static_cast<float>(steps_);

  if (extent == 0) {
    background_left_ = 0;  // an empty bar is all background
    return;
  }
  for (int i = 0; i < steps_; ++i) {
    const int right = band_right(i);
    if (right > extent) {
      bands_ = i + 1;
      background_left_ = right;
      return;
    }
  }
  bands_ = steps_;
  background_left_ = width_;
}

int GradientPlan::band_left(int index) const noexcept {
  return static_cast<int>(static_cast<double>(index) * static_cast<double>(band_width_));
}

int GradientPlan::band_right(int index) const noexcept {
  // The last band closes the gap the truncated edges leave at the right.
  if (index == steps_ - 1) return width_;
  return static_cast<int>(static_cast<double>(index + 1) * static_cast<double>(band_width_));
}

Band GradientPlan::band(int index) const noexcept {
  if (steps_ == 0) return Band{0, flat_right_, start_};
  const std::uint32_t start[3] = {color_red(start_), color_green(start_), color_blue(start_)};
  std::uint32_t channel[3];
  for (int c = 0; c < 3; ++c) {
    const double value = static_cast<double>(start[c]) + static_cast<double>(index) * static_cast<double>(increment_[c]);
    channel[c] = static_cast<std::uint32_t>(static_cast<int>(value)) & 0xFFu;
  }
  return Band{band_left(index), band_right(index), make_color(channel[0], channel[1], channel[2])};
}

bool paints_blank(int position, int lower, int upper) noexcept {
  return upper <= 0 || position < lower || position > upper;
}

int filled_extent(int position, int upper, int width) noexcept {
  if (upper <= 0) return 0;
  const float extent =
      static_cast<float>(static_cast<double>(position) / static_cast<double>(upper) * static_cast<double>(width));
  // Far below the lower edge only with negative bounds; keep the conversion defined.
  if (extent >= 2147483648.0f) return INT_MAX;
  if (extent < -2147483648.0f) return INT_MIN;
  return static_cast<int>(extent);
}

std::string percent_text(int position, int upper, const std::string& label) {
  if (upper <= 0) return std::string();
  char number[64];
  std::snprintf(number, sizeof number, "%.0f%%", static_cast<double>(position) * 100.0 / static_cast<double>(upper));
  std::string text(number);
  if (!label.empty()) {
    text += " : ";
    text += label;
  }
  return text;
}

}  // namespace pw
