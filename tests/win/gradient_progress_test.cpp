// The gradient bar over a real platform progress bar, rendered into a 32-bpp DIB.
#include "ui/gradient_progress.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "ui/gradient_bands.h"
#include "win/handles.h"

namespace {

constexpr int kWidth = 256, kHeight = 40, kControlId = 1003;
constexpr COLORREF kSentinel = 0xFF00FF;    // never painted by the bar here
constexpr COLORREF kBackground = 0x123456;  // told apart from the button face
constexpr COLORREF kTextColor = 0x0000FF;   // in neither gradient nor background

// A top-down 32-bpp image selected into a memory context, prefilled with one colour.
class Dib {
 public:
  Dib(int width, int height, COLORREF fill) : width_(width), height_(height) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    dc_ = pw::UniqueMemoryDC(::CreateCompatibleDC(nullptr));
    bitmap_.reset(::CreateDIBSection(dc_.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    bits_ = static_cast<std::uint32_t*>(bits);
    selected_.emplace(dc_.get(), bitmap_.get());
    for (int i = 0; i < width * height; ++i) bits_[i] = (fill & 0xFF) << 16 | (fill & 0xFF00) | (fill >> 16 & 0xFF);
  }
  HDC dc() const { return dc_.get(); }
  HBITMAP bitmap() const { return bitmap_.get(); }
  COLORREF at(int x, int y) const {
    ::GdiFlush();
    const std::uint32_t px = bits_[y * width_ + x];
    return RGB(px >> 16 & 0xFF, px >> 8 & 0xFF, px & 0xFF);
  }
  int count(COLORREF color, int x0, int x1) const {
    int n = 0;
    for (int y = 0; y < height_; ++y)
      for (int x = x0; x < x1; ++x) n += at(x, y) == color;
    return n;
  }

 private:
  int width_, height_;
  pw::UniqueMemoryDC dc_;
  pw::UniqueBitmap bitmap_;
  std::optional<pw::SelectedObject> selected_;
  std::uint32_t* bits_ = nullptr;
};

// Serves messages until `done` holds or a generous deadline passes.
bool pump_until(const std::function<bool()>& done) {
  const ULONGLONG deadline = ::GetTickCount64() + 20000;
  for (;;) {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
    if (done()) return true;
    if (::GetTickCount64() > deadline) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

COLORREF dialog_band(int x) { return pw::make_color(0, 128 - x / 2, 128); }

class GradientProgress : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);
    WNDCLASSA wc{};
    wc.lpfnWndProc = ::DefWindowProcA;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "PushwellGradientHost";
    ::RegisterClassA(&wc);
  }

  void SetUp() override {
    host_ = ::CreateWindowExA(WS_EX_TOOLWINDOW, "PushwellGradientHost", "", WS_POPUP, 0, 0, kWidth, kHeight, nullptr,
                              nullptr, ::GetModuleHandleA(nullptr), nullptr);
    control_ = ::CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 0, 0, kWidth, kHeight,
                                 host_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kControlId)), nullptr, nullptr);
    ASSERT_NE(control_, nullptr);
    ASSERT_TRUE(bar_.attach(host_, kControlId));
    // As the main dialog configures it, with a background told apart from the button face.
    bar_.SetRange(0, 100);
    bar_.SetPos(0);
    bar_.SetStartColor(0x808000);
    bar_.SetEndColor(0x800000);
    bar_.SetPercentTextColor(kTextColor);
    bar_.SetBkColor(kBackground);
  }

  void TearDown() override {
    if (host_) ::DestroyWindow(host_);
  }

  Dib render() const {
    Dib dib(kWidth, kHeight, kSentinel);
    ::SendMessageA(control_, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dib.dc()), PRF_CLIENT);
    return dib;
  }

  // Rows away from the centred text: gradient up to background_left, background after.
  static void expect_dialog_row(const Dib& dib, int y, int background_left) {
    for (int x = 0; x < kWidth; ++x)
      ASSERT_EQ(dib.at(x, y), x < background_left ? dialog_band(x) : kBackground) << "x=" << x << " y=" << y;
  }

  HWND host_ = nullptr;
  HWND control_ = nullptr;
  CGradientProgressCtrl bar_;
};

struct RowCase {
  int lower, upper, position, background_left;
};
class GradientProgressRow : public GradientProgress, public ::testing::WithParamInterface<RowCase> {};

TEST_P(GradientProgressRow, ShowsTheFixedGradientUpToTheBandEdgeBeyondTheExtent) {
  bar_.SetRange(GetParam().lower, GetParam().upper);
  bar_.SetPos(GetParam().position);
  const Dib dib = render();
  expect_dialog_row(dib, 0, GetParam().background_left);
  expect_dialog_row(dib, kHeight - 1, GetParam().background_left);
}

INSTANTIATE_TEST_SUITE_P(DialogColours, GradientProgressRow,
                         ::testing::Values(RowCase{0, 100, 50, 130}, RowCase{0, 100, 100, kWidth},
                                           RowCase{0, 100, 0, 0}, RowCase{0, 100, 1, 4},
                                           RowCase{20, 100, 20, 52}, RowCase{20, 100, 60, 154}));

struct BlankCase {
  int lower, upper, position;
};
class GradientProgressBlank : public GradientProgress, public ::testing::WithParamInterface<BlankCase> {};

TEST_P(GradientProgressBlank, PaintsTheWholeBarInButtonFaceWithoutText) {
  bar_.ShowPercent(TRUE);
  bar_.SetRange(GetParam().lower, GetParam().upper);
  bar_.SetPos(GetParam().position);
  EXPECT_EQ(render().count(::GetSysColor(COLOR_BTNFACE), 0, kWidth), kWidth * kHeight);
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, GradientProgressBlank,
                         ::testing::Values(BlankCase{0, 100, 105}, BlankCase{0, 100, -1}, BlankCase{20, 100, 19},
                                           BlankCase{0, 0, 0}, BlankCase{-10, -1, -5}));

TEST_F(GradientProgress, PercentTextIsCentredInTheTextColourOverTheGradientOnlyWhenShown) {
  bar_.SetPos(50);
  EXPECT_EQ(render().count(kTextColor, 0, kWidth), 0);
  bar_.ShowPercent(TRUE);
  const Dib dib = render();
  EXPECT_GT(dib.count(kTextColor, kWidth / 2 - 30, kWidth / 2 + 30), 0);
  EXPECT_EQ(dib.count(kTextColor, 0, kWidth / 2 - 30) + dib.count(kTextColor, kWidth / 2 + 30, kWidth), 0);
  expect_dialog_row(dib, 0, 130);  // drawn transparent
}

// High Contrast: a flat highlight up to the extent exactly, the window colour after
// it, and the percentage in the colour that reads on each part, split where they meet;
// a blank bar in the window colour, not the button face.
TEST_F(GradientProgress, HighContrastSplitsThePercentageWhereTheFilledPartEnds) {
  constexpr COLORREF kHighlight = 0x00FF00, kWindow = 0x000000, kOverFilled = 0x0000FF, kOverEmpty = 0xFF0000;
  bar_.SetColors(pw::BarColors{kHighlight, kHighlight, kWindow, kOverFilled, kOverEmpty, false});
  bar_.ShowPercent(TRUE);
  bar_.SetPos(50);
  const Dib dib = render();
  const int split = kWidth / 2;
  EXPECT_EQ(dib.at(split - 1, 0), kHighlight);
  EXPECT_EQ(dib.at(split, 0), kWindow);
  EXPECT_GT(dib.count(kOverFilled, 0, split), 0);
  EXPECT_GT(dib.count(kOverEmpty, split, kWidth), 0);
  EXPECT_EQ(dib.count(kOverFilled, split, kWidth) + dib.count(kOverEmpty, 0, split), 0) << "each colour on its own part";
  bar_.SetPos(105);
  EXPECT_EQ(render().count(kWindow, 0, kWidth), kWidth * kHeight);
}

TEST_F(GradientProgress, LabelFollowsThePercentage) {
  bar_.ShowPercent(TRUE);
  bar_.SetPos(42);
  const auto text_width = [this] {
    const Dib dib = render();
    int left = kWidth, right = -1;
    for (int x = 0; x < kWidth; ++x)
      if (dib.count(kTextColor, x, x + 1) > 0) left = std::min(left, x), right = std::max(right, x);
    return right - left;
  };
  const int bare = text_width();
  bar_.SetLabelText("firmware");
  ASSERT_GT(bare, 0);
  EXPECT_GT(text_width(), bare + 30);  // " : firmware" is far wider than a few pixels
}

TEST_F(GradientProgress, LowerBoundBlanksACentredStripOfFortySixSpacesEvenWithoutText) {
  bar_.SetRange(50, 100);  // 50 of 50..100 fills up to x = 130: the strip lies over gradient
  SIZE strip{};
  ::GetTextExtentPoint32A(Dib(1, 1, 0).dc(), std::string(46, ' ').c_str(), 46, &strip);
  ASSERT_LT(strip.cy, kHeight - 8);
  const int left = std::max(0, (kWidth - static_cast<int>(strip.cx)) / 2), y = kHeight / 2;

  const Dib at_lower = render();
  for (int x = left + 2; x < 130; ++x) ASSERT_EQ(at_lower.at(x, y), kBackground) << "x=" << x;
  if (left >= 3) {
    EXPECT_EQ(at_lower.at(left - 3, y), dialog_band(left - 3));
  }
  expect_dialog_row(at_lower, 0, 130);  // above the strip

  bar_.SetPos(51);
  const Dib above_lower = render();
  for (int x = 0; x < 130; ++x) ASSERT_EQ(above_lower.at(x, y), dialog_band(x)) << "x=" << x;
}

TEST_F(GradientProgress, EqualColoursFillTheExtentInTheStartColour) {
  bar_.SetStartColor(0x00AA00);
  bar_.SetEndColor(0x00AA00);
  bar_.SetPos(50);
  const Dib dib = render();
  for (int x = 0; x < kWidth; ++x) ASSERT_EQ(dib.at(x, 0), x < 128 ? 0x00AA00u : kBackground) << "x=" << x;
}

TEST_F(GradientProgress, ConstructionDefaultsDrawNavyToBlueOverButtonFace) {
  bar_.detach();
  CGradientProgressCtrl fresh;
  ASSERT_TRUE(fresh.attach(control_));
  fresh.SetPos(50);
  const Dib dib = render();
  // 127 steps over 256 pixels: band i starts at trunc(i * 256/127).
  EXPECT_EQ(dib.at(0, 0), 0x800000u);
  EXPECT_EQ(dib.at(3, 0), 0x810000u);
  EXPECT_EQ(dib.at(kWidth - 1, 0), ::GetSysColor(COLOR_BTNFACE));
  EXPECT_EQ(dib.count(kTextColor, 0, kWidth), 0);  // no percentage by default
}

TEST_F(GradientProgress, RangeAndPositionReachThePlatformBar) {
  PBRANGE range{};
  bar_.SetRange(20, 60000);
  ::SendMessageA(control_, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(range.iLow, 20);
  EXPECT_EQ(range.iHigh, 60000);
  EXPECT_EQ(::SendMessageA(control_, PBM_GETPOS, 0, 0), 20);  // the range moves the position to the lower bound

  bar_.SetRange(0, 100);
  bar_.SetPos(30);
  EXPECT_EQ(bar_.SetPos(60), 30);  // the platform bar's previous position
  EXPECT_EQ(::SendMessageA(control_, PBM_GETPOS, 0, 0), 60);
  bar_.SetPos(105);  // the platform bar keeps to its range
  EXPECT_EQ(::SendMessageA(control_, PBM_GETPOS, 0, 0), 100);
}

TEST_F(GradientProgress, AttachingTwiceKeepsOneWorkingBinding) {
  EXPECT_TRUE(bar_.attach(host_, kControlId));
  EXPECT_FALSE(bar_.attach(host_, kControlId + 1));
  EXPECT_EQ(bar_.hwnd(), control_);
  bar_.SetPos(50);
  EXPECT_EQ(::SendMessageA(control_, PBM_GETPOS, 0, 0), 50);
  expect_dialog_row(render(), 0, 130);
  bar_.detach();
  EXPECT_EQ(render().count(kBackground, 0, kWidth), 0);  // the platform bar draws again
}

TEST_F(GradientProgress, PositionFromAnotherThreadWaitsForTheWindowThread) {
  std::atomic<bool> done{false};
  std::atomic<int> seen{0};
  std::thread worker([&] {
    for (int i = 1; i <= 100 && seen.load() == i - 1; ++i) {
      bar_.SetPos(i);
      // Returns only once the window thread took the position.
      seen = static_cast<int>(::SendMessageA(control_, PBM_GETPOS, 0, 0));
    }
    done = true;
  });
  const bool finished = pump_until([&] { return done.load(); });
  if (!finished) {
    ::DestroyWindow(host_);  // releases a worker stuck on this thread before failing
    host_ = nullptr;
  }
  worker.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(seen.load(), 100);
  expect_dialog_row(render(), 0, kWidth);
}

TEST_F(GradientProgress, PlatformBarInvalidationRepaintsTheScreen) {
  bar_.SetPos(50);
  ::SetWindowPos(host_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
  ::UpdateWindow(host_);
  bar_.SetPos(25);  // extent 64: band 32 ends at 66; nothing but the platform bar asks for a paint
  const Dib screen(kWidth, kHeight, kSentinel);
  const bool painted = pump_until([&] {
    const HDC dc = ::GetDC(control_);
    ::BitBlt(screen.dc(), 0, 0, kWidth, kHeight, dc, 0, 0, SRCCOPY);
    ::ReleaseDC(control_, dc);
    return screen.at(65, 0) == dialog_band(65) && screen.at(66, 0) == kBackground;
  });
  ASSERT_TRUE(painted) << std::hex << screen.at(65, 0) << " " << screen.at(66, 0);
  expect_dialog_row(screen, 0, 66);
}

TEST(MemDC, CopiesItsImageOverTheClipBoxOnlyWhenItEnds) {
  const Dib target(64, 32, kSentinel);
  ::IntersectClipRect(target.dc(), 10, 5, 40, 20);
  {
    const CMemDC surface(target.dc());
    const RECT everything{0, 0, 64, 32};
    const pw::UniqueBrush brush(::CreateSolidBrush(0x00AA00));
    ::FillRect(surface.dc(), &everything, brush.get());
    EXPECT_EQ(target.at(20, 10), kSentinel);  // nothing on the target yet
  }
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 64; ++x)
      ASSERT_EQ(target.at(x, y), x >= 10 && x < 40 && y >= 5 && y < 20 ? 0x00AA00u : kSentinel) << x << "," << y;
}

TEST(MemDC, AddressesTheImageInTheTargetsLogicalCoordinates) {
  const Dib target(64, 32, kSentinel);
  ::SetWindowOrgEx(target.dc(), 100, 200, nullptr);
  {
    const CMemDC surface(target.dc());
    const RECT square{110, 210, 120, 220};
    const pw::UniqueBrush brush(::CreateSolidBrush(0x0000AA));
    ::FillRect(surface.dc(), &square, brush.get());
  }
  EXPECT_EQ(target.at(10, 10), 0x0000AAu);
  EXPECT_EQ(target.at(19, 19), 0x0000AAu);
  EXPECT_NE(target.at(20, 19), 0x0000AAu);
  EXPECT_NE(target.at(9, 10), kSentinel);  // the whole clip box is copied, drawn on or not
}

TEST(MemDC, PrinterSurfaceDrawsStraightOnTheTargetAndLeavesItUsable) {
  const Dib target(16, 16, kSentinel);
  EXPECT_FALSE(CMemDC::is_printer(target.dc()));
  const RECT square{0, 0, 8, 8};
  {
    const CMemDC surface(target.dc(), true);
    EXPECT_EQ(surface.dc(), target.dc());
    const pw::UniqueBrush brush(::CreateSolidBrush(0x00AA00));
    ::FillRect(surface.dc(), &square, brush.get());
    EXPECT_EQ(target.at(4, 4), 0x00AA00u);
  }
  EXPECT_EQ(::GetCurrentObject(target.dc(), OBJ_BITMAP), target.bitmap());
  const pw::UniqueBrush brush(::CreateSolidBrush(0x0000AA));
  EXPECT_NE(::FillRect(target.dc(), &square, brush.get()), 0);
}

}  // namespace
