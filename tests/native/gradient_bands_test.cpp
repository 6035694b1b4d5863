#include "ui/gradient_bands.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace pw {
namespace {

constexpr std::uint32_t kDialogStart = 0x808000, kDialogEnd = 0x800000;

// The fills must tile the bar from 0 up to the background without gaps.
void expect_contiguous(const GradientPlan& plan) {
  int x = 0;
  for (int i = 0; i < plan.band_count(); ++i) {
    EXPECT_EQ(plan.band(i).left, x) << "band " << i;
    x = plan.band(i).right;
  }
  EXPECT_EQ(x, plan.background_left());
}

TEST(GradientPlan, StepCountIsTheLargestChannelDistanceUpTo255) {
  EXPECT_EQ(GradientPlan(kDialogStart, kDialogEnd, 256, 0).step_count(), 128);
  EXPECT_EQ(GradientPlan(0x800000, 0xFF0000, 256, 0).step_count(), 127);
  EXPECT_EQ(GradientPlan(0xFFFFFF, 0x000000, 256, 0).step_count(), 255);
  EXPECT_EQ(GradientPlan(0x000000, 0x000A0C, 256, 0).step_count(), 12);
  const GradientPlan widest(0x000000, 0xFFFFFF, 4000, 4000);
  EXPECT_EQ(widest.band_count(), GradientPlan::kMaxBands);
  expect_contiguous(widest);
}

TEST(GradientPlan, DialogColoursFadeGreenOneStepPerTwoPixelBand) {
  const GradientPlan plan(kDialogStart, kDialogEnd, 256, 256);
  ASSERT_EQ(plan.band_count(), 128);
  for (int i = 0; i < 128; ++i) {
    const Band b = plan.band(i);
    EXPECT_EQ(b.color, make_color(0, 128 - i, 128)) << "band " << i;
    EXPECT_EQ(b.left, 2 * i);
    EXPECT_EQ(b.right, 2 * i + 2);
  }
  EXPECT_FALSE(plan.has_background());
}

TEST(GradientPlan, ConstructionColoursStopOneStepShortOfTheEndColour) {
  const GradientPlan plan(0x800000, 0xFF0000, 254, 254);
  ASSERT_EQ(plan.band_count(), 127);
  for (int i = 0; i < 127; ++i) EXPECT_EQ(plan.band(i).color, make_color(0, 0, 128 + i)) << "band " << i;
  EXPECT_EQ(plan.band(126).color, 0xFE0000u);
}

struct ExtentCase {
  int extent, bands, background_left;
};
class GradientExtent : public ::testing::TestWithParam<ExtentCase> {};

// Dialog colours on 256 pixels: band i covers x = 2i and 2i + 1.
TEST_P(GradientExtent, ColouredPartEndsAtTheFirstBandEdgeBeyondTheExtent) {
  const GradientPlan plan(kDialogStart, kDialogEnd, 256, GetParam().extent);
  EXPECT_EQ(plan.band_count(), GetParam().bands);
  EXPECT_EQ(plan.background_left(), GetParam().background_left);
  expect_contiguous(plan);
}

INSTANTIATE_TEST_SUITE_P(DialogBar, GradientExtent,
                         ::testing::Values(ExtentCase{0, 0, 0}, ExtentCase{1, 1, 2},
                                           ExtentCase{2, 2, 4},  // on an edge: one more band
                                           ExtentCase{127, 64, 128}, ExtentCase{128, 65, 130},
                                           ExtentCase{129, 65, 130}, ExtentCase{254, 128, 256},
                                           ExtentCase{256, 128, 256},
                                           ExtentCase{-3, 1, 2}));  // negative bounds: band 0 still shows

struct BandCase {
  std::uint32_t start, end;
  int width, index;
  Band band;
};
class GradientBand : public ::testing::TestWithParam<BandCase> {};

TEST_P(GradientBand, EdgesAndColourComeFromSinglePrecisionStepsTruncatedTowardZero) {
  const BandCase& c = GetParam();
  const GradientPlan plan(c.start, c.end, c.width, c.width);
  const Band b = plan.band(c.index);
  EXPECT_EQ(b.left, c.band.left);
  EXPECT_EQ(b.right, c.band.right);
  EXPECT_EQ(b.color, c.band.color);
  expect_contiguous(plan);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GradientBand,
    ::testing::Values(BandCase{0, 0x000004, 10, 1, {2, 5, 0x000001}}, BandCase{0, 0x000004, 10, 2, {5, 7, 0x000002}},
                      BandCase{0, 0x000003, 10, 2, {6, 10, 0x000002}},  // the last band reaches the edge
                      // 102/100 is just under 1.02 in single precision: 50 * w stays below 51.
                      BandCase{0, 0x000064, 102, 50, {50, 52, 0x000032}},
                      BandCase{0, 0x000080, 300, 127, {297, 300, 0x00007F}},
                      BandCase{0, 0x0000FF, 1, 100, {0, 0, 0x000064}},
                      // 10/12 and 100/12 round down in single precision: band 6 starts at 49 and has green 4.
                      BandCase{0, 0x000A0C, 100, 6, {49, 58, 0x000406}},
                      // Red 200 falling over 255 steps: 200 - 3 * 0.784 = 197.6 truncates to 197.
                      BandCase{0x0000C8, 0x00FF00, 255, 3, {3, 4, 0x0003C5}}));

TEST(GradientPlan, EqualColoursFillTheExtentInTheStartColourAndTheRestWithBackground) {
  const GradientPlan half(0x00AA00, 0x00AA00, 256, 128);
  ASSERT_EQ(half.band_count(), 1);
  EXPECT_EQ(half.band(0).right, 128);
  EXPECT_EQ(half.band(0).color, 0x00AA00u);
  EXPECT_EQ(half.background_left(), 128);
  const GradientPlan empty(0x00AA00, 0x00AA00, 256, 0);
  EXPECT_EQ(empty.band_count(), 0);
  EXPECT_EQ(empty.background_left(), 0);
  const GradientPlan beyond(0x00AA00, 0x00AA00, 256, 300);
  EXPECT_EQ(beyond.band(0).right, 256);
  EXPECT_FALSE(beyond.has_background());
}

TEST(GradientPainting, IsBlankOutsideTheBoundsOrWithoutAPositiveUpperBound) {
  EXPECT_FALSE(paints_blank(0, 0, 100));
  EXPECT_FALSE(paints_blank(100, 0, 100));
  EXPECT_FALSE(paints_blank(20, 20, 100));
  EXPECT_TRUE(paints_blank(101, 0, 100));
  EXPECT_TRUE(paints_blank(-1, 0, 100));
  EXPECT_TRUE(paints_blank(19, 20, 100));
  EXPECT_TRUE(paints_blank(0, 0, 0));
  EXPECT_TRUE(paints_blank(-5, -10, -1));
}

TEST(GradientPainting, ExtentIsTheFractionOfTheUpperBoundTruncatedInSinglePrecision) {
  EXPECT_EQ(filled_extent(50, 100, 256), 128);
  EXPECT_EQ(filled_extent(100, 100, 256), 256);
  EXPECT_EQ(filled_extent(99, 100, 256), 253);
  EXPECT_EQ(filled_extent(20, 100, 256), 51);  // the lower bound does not offset the fraction
  // 1/3 * 300 is 99.99999999999999 in double but exactly 100 in single precision.
  EXPECT_EQ(filled_extent(1, 3, 300), 100);
  EXPECT_EQ(filled_extent(-5, 100, 200), -10);
  EXPECT_EQ(filled_extent(50, 0, 256), 0);
  EXPECT_EQ(filled_extent(INT_MIN, 1, 4), INT_MIN);
}

TEST(GradientPainting, PercentTextIsWholePercentThenTheLabel) {
  EXPECT_EQ(percent_text(0, 100, ""), "0%");
  EXPECT_EQ(percent_text(100, 100, ""), "100%");
  EXPECT_EQ(percent_text(42, 100, "firmware"), "42% : firmware");
  EXPECT_EQ(percent_text(105, 100, ""), "105%");
  EXPECT_EQ(percent_text(2, 3, ""), "67%");
  // %.0f rounds halves to even.
  EXPECT_EQ(percent_text(1, 200, ""), "0%");
  EXPECT_EQ(percent_text(3, 200, ""), "2%");
  EXPECT_EQ(percent_text(5, 200, ""), "2%");
  EXPECT_EQ(percent_text(50, 0, "x"), "");
}

}  // namespace
}  // namespace pw
