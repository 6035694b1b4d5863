// The gradient band plan for any colours, width and extent: the bands tile the
// bar from its left edge, each in its colour step, and the background begins
// where the band holding the extent ends.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "tests/fuzz/fuzz_check.h"
#include "ui/gradient_bands.h"

namespace {

using pw::GradientPlan;

int channel(std::uint32_t color, int c) {
  return static_cast<int>(c == 0 ? pw::color_red(color) : c == 1 ? pw::color_green(color) : pw::color_blue(color));
}

void check_plan(std::uint32_t start, std::uint32_t end, int width, int extent) {
  const GradientPlan plan(start, end, width, extent);
  const int w = std::max(width, 0);

  int steps = 0;
  int dominant = 0;
  for (int c = 0; c < 3; ++c) {
    const int d = std::abs(channel(end, c) - channel(start, c));
    if (d > steps) {
      steps = d;
      dominant = c;
    }
  }
  FUZZ_CHECK(plan.step_count() == steps);
  FUZZ_CHECK(plan.band_count() >= 0 && plan.band_count() <= GradientPlan::kMaxBands);
  FUZZ_CHECK(plan.band_count() <= std::max(steps, 1));

  // Contiguous from 0, inside the bar, ending where the background begins.
  int x = 0;
  for (int i = 0; i < plan.band_count(); ++i) {
    const pw::Band b = plan.band(i);
    FUZZ_CHECK(b.left == x);
    FUZZ_CHECK(b.right >= b.left && b.right <= w);
    x = b.right;
  }
  FUZZ_CHECK(plan.background_left() == x);
  FUZZ_CHECK(plan.background_left() >= 0 && plan.background_left() <= w);
  FUZZ_CHECK(plan.has_background() == (plan.background_left() < w));

  if (steps == 0) {
    // Equal colours: one band in the start colour over the filled part.
    const int filled = std::clamp(extent, 0, w);
    FUZZ_CHECK(plan.background_left() == filled);
    FUZZ_CHECK(plan.band_count() == (filled > 0 ? 1 : 0));
    if (plan.band_count() == 1) FUZZ_CHECK((plan.band(0).color & 0xFFFFFFu) == (start & 0xFFFFFFu));
    return;
  }

  // The background starts at the right edge of the band that holds the extent;
  // an empty bar is all background and a full one has every band.
  if (extent == 0) {
    FUZZ_CHECK(plan.band_count() == 0);
  } else if (extent >= w) {
    FUZZ_CHECK(plan.band_count() == steps);
    FUZZ_CHECK(plan.background_left() == w);
  } else {
    FUZZ_CHECK(plan.band_count() >= 1);
    const pw::Band last = plan.band(plan.band_count() - 1);
    FUZZ_CHECK(last.right > extent);
    if (extent > 0) FUZZ_CHECK(last.left <= extent);
  }

  // Colours: the channel that changes most moves one unit per band; every
  // channel stays between its start and end and within one unit of the exact
  // linear value (single precision steps, truncated).
  for (int i = 0; i < plan.band_count(); ++i) {
    const std::uint32_t color = plan.band(i).color;
    FUZZ_CHECK((color & 0xFF000000u) == 0);
    for (int c = 0; c < 3; ++c) {
      const int s = channel(start, c);
      const int e = channel(end, c);
      const int v = channel(color, c);
      FUZZ_CHECK(v >= std::min(s, e) && v <= std::max(s, e));
      const double exact = s + static_cast<double>(i) * (e - s) / steps;
      FUZZ_CHECK(std::fabs(v - exact) < 1.0 + 1e-6);
      if (c == dominant) FUZZ_CHECK(v == s + (e > s ? i : -i));
    }
  }
  // The colour of a band depends on its index only, not on the extent.
  if (plan.band_count() > 0) {
    const GradientPlan full(start, end, width, w);
    const int i = plan.band_count() - 1;
    FUZZ_CHECK(full.band(i).color == plan.band(i).color);
    FUZZ_CHECK(full.band(i).left == plan.band(i).left && full.band(i).right == plan.band(i).right);
  }
}

// A position inside the bounds covers a part of the bar within its width.
void check_extent(int position, int upper, int width) {
  if (pw::paints_blank(position, 0, upper)) return;
  const int extent = pw::filled_extent(position, upper, width);
  FUZZ_CHECK(extent >= 0 && extent <= width);
  if (position == upper) FUZZ_CHECK(extent == width);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::uint32_t start = in.ConsumeIntegral<std::uint32_t>();
  const std::uint32_t end = in.ConsumeIntegral<std::uint32_t>();
  // Mostly bar-sized widths and extents, sometimes anything an int holds.
  const bool wild = in.ConsumeBool();
  const int width = wild ? in.ConsumeIntegral<int>() : in.ConsumeIntegralInRange<int>(0, 4096);
  const int extent = wild ? in.ConsumeIntegral<int>() : in.ConsumeIntegralInRange<int>(-8, 4200);
  check_plan(start, end, width, extent);

  // Realistic bars: a float holds every width below 2^24 exactly.
  const int bar = in.ConsumeIntegralInRange<int>(0, 1 << 20);
  const int upper = in.ConsumeIntegral<int>();
  const int position = in.ConsumeIntegral<int>();
  check_extent(position, upper, bar);
  return 0;
}
