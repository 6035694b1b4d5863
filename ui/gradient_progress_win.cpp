#include "ui/gradient_progress.h"

#include <commctrl.h>

#include <new>

#include "ui/gradient_bands.h"
#include "win/guard.h"
#include "win/wide_text.h"

namespace {

// Text format of both texts: centred in the client rectangle on one line.
constexpr UINT kTextFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
static_assert(kTextFormat == 37, "centred single-line text");

// Drawn opaque in the background colour at the lower bound, so the middle of the bar
// is blank where the percentage stands.
constexpr wchar_t kBlankStrip[] = L"                                              ";
static_assert(sizeof kBlankStrip / sizeof kBlankStrip[0] - 1 == 46, "46 spaces");

// A brush of its own for every fill; nothing is cached between paints.
void fill_solid(HDC dc, const RECT& rect, COLORREF color) noexcept {
  pw::UniqueBrush brush(::CreateSolidBrush(color));
  if (brush) ::FillRect(dc, &rect, brush.get());
}

}  // namespace

// ---------------------------------------------------------------------------------------

CMemDC::CMemDC(HDC target) noexcept : CMemDC(target, is_printer(target)) {}

CMemDC::CMemDC(HDC target, bool printing) noexcept : target_(target), off_screen_(!printing) {
  if (printing) {
    // Printers get no image: the target's own handle takes the drawing.
    dc_ = target;
    return;
  }
  ::GetClipBox(target, &rect_);
  memory_ = pw::UniqueMemoryDC(::CreateCompatibleDC(target));
  bitmap_.reset(::CreateCompatibleBitmap(target, rect_.right - rect_.left, rect_.bottom - rect_.top));
  dc_ = memory_.get();
  if (!memory_) return;
  previous_bitmap_.emplace(memory_.get(), bitmap_.get());
  // Target coordinates address the image directly.
  ::SetWindowOrgEx(memory_.get(), rect_.left, rect_.top, nullptr);
}

CMemDC::~CMemDC() {
  if (off_screen_ && memory_) {
    ::BitBlt(target_, rect_.left, rect_.top, rect_.right - rect_.left, rect_.bottom - rect_.top, memory_.get(),
             rect_.left, rect_.top, SRCCOPY);
  }
  // The members then select the previous bitmap back, delete the image and the context.
}

bool CMemDC::is_printer(HDC dc) noexcept { return dc && ::GetDeviceCaps(dc, TECHNOLOGY) == DT_RASPRINTER; }

// ---------------------------------------------------------------------------------------

CGradientProgressCtrl::CGradientProgressCtrl() noexcept : background_color_(::GetSysColor(COLOR_BTNFACE)) {}

CGradientProgressCtrl::~CGradientProgressCtrl() = default;

void CGradientProgressCtrl::SetRange(int lower, int upper) noexcept {
  lower_ = lower;
  upper_ = upper;
  position_ = lower;
  send(PBM_SETRANGE, 0, MAKELPARAM(static_cast<WORD>(lower), static_cast<WORD>(upper)));
}

void CGradientProgressCtrl::SetColors(const pw::BarColors& colors) noexcept {
  start_color_ = colors.start;
  end_color_ = colors.end;
  background_color_ = colors.empty;
  text_color_ = colors.text_over_filled;
  text_over_empty_color_ = colors.text_over_empty;
  blank_in_button_face_ = colors.blank_in_button_face;
}

int CGradientProgressCtrl::SetPos(int pos) noexcept {
  position_ = pos;
  // The platform bar's invalidation brings the repaint.
  return static_cast<int>(send(PBM_SETPOS, static_cast<WPARAM>(pos), 0));
}

LRESULT CGradientProgressCtrl::handle_message(UINT msg, WPARAM wp, LPARAM lp) noexcept {
  switch (msg) {
    case WM_PAINT:
      if (!wp) {
        pw::PaintContext paint(hwnd());
        Paint(paint.dc());
        return 0;
      }
      // A context the caller supplies, the way WM_PRINTCLIENT is often served.
      [[fallthrough]];
    case WM_PRINTCLIENT: {
      // The caller's context gets its text settings back.
      const HDC dc = reinterpret_cast<HDC>(wp);
      const int saved = ::SaveDC(dc);
      Paint(dc);
      if (saved) ::RestoreDC(dc, saved);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;  // the gradient covers the whole client area
    default:
      return default_handling(msg, wp, lp);
  }
}

void CGradientProgressCtrl::Paint(HDC dc) noexcept {
  if (!dc) return;
  const int pos = position_;
  RECT client{};
  ::GetClientRect(hwnd(), &client);

  if (pw::paints_blank(pos, lower_, upper_)) {
    // The button face as it is now (not the background field), or the dark and High Contrast looks' empty colour.
    fill_solid(dc, client, blank_in_button_face_ ? ::GetSysColor(COLOR_BTNFACE) : background_color_);
    return;
  }

  const int filled_right = DrawGradient(dc, client, pw::filled_extent(pos, upper_, client.right));

  if (pos == lower_) {
    ::SetTextColor(dc, background_color_);
    ::SetBkColor(dc, background_color_);
    ::SetBkMode(dc, OPAQUE);
    ::DrawTextW(dc, kBlankStrip, -1, &client, kTextFormat);
  }

  if (show_percent_) {
    std::wstring text;
    // No memory for the text: the gradient alone has to do.
    if (pw::ran_out_of_memory([&] { text = pw::widen(pw::percent_text(pos, upper_, label_)); })) return;
    ::SetBkMode(dc, TRANSPARENT);
    if (text_color_ == text_over_empty_color_) {
      ::SetTextColor(dc, text_color_);
      ::DrawTextW(dc, text.c_str(), -1, &client, kTextFormat);
      return;
    }
    // Under High Contrast each part of the text takes the colour that reads on what lies beneath it.
    const struct {
      RECT part;
      COLORREF color;
    } parts[] = {{RECT{client.left, client.top, filled_right, client.bottom}, text_color_},
                 {RECT{filled_right, client.top, client.right, client.bottom}, text_over_empty_color_}};
    for (const auto& p : parts) {
      if (p.part.left >= p.part.right) continue;
      const int saved = ::SaveDC(dc);
      ::IntersectClipRect(dc, p.part.left, p.part.top, p.part.right, p.part.bottom);
      ::SetTextColor(dc, p.color);
      ::DrawTextW(dc, text.c_str(), -1, &client, kTextFormat);
      if (saved) ::RestoreDC(dc, saved);
    }
  }
}

int CGradientProgressCtrl::DrawGradient(HDC dc, const RECT& client, int extent) noexcept {
  CMemDC surface(dc);
  const pw::GradientPlan plan(start_color_, end_color_, client.right, extent);
  for (int i = 0; i < plan.band_count(); ++i) {
    const pw::Band band = plan.band(i);
    fill_solid(surface.dc(), RECT{band.left, client.top, band.right, client.bottom}, band.color);
  }
  if (plan.has_background())
    fill_solid(surface.dc(), RECT{plan.background_left(), client.top, client.right, client.bottom}, background_color_);
  // The surface's end puts the gradient on the screen in one copy.
  return plan.background_left();
}
