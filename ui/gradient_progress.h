#pragma once
// The main dialog's progress bar, drawn by us: a horizontal gradient fixed to the bar
// that progress uncovers, a flat background beyond it and a centred percentage. The
// platform progress bar underneath still receives range and position, which keeps
// its own repaint-on-change behaviour, but its drawing is never seen.
#include <windows.h>

#include <optional>
#include <string>

#include "ui/look.h"
#include "win/control.h"
#include "win/handles.h"

// Off-screen surface over a target context: drawing lands on a compatible bitmap
// covering the target's clip box, which is copied to the target in one BitBlt when the
// surface ends. Over a printer context it draws straight to the target instead.
class CMemDC {
 public:
  explicit CMemDC(HDC target) noexcept;
  CMemDC(HDC target, bool printing) noexcept;
  ~CMemDC();
  CMemDC(const CMemDC&) = delete;
  CMemDC& operator=(const CMemDC&) = delete;

  // The context to draw on, addressed in the target's logical coordinates.
  HDC dc() const noexcept { return dc_; }

  static bool is_printer(HDC dc) noexcept;

 private:
  HDC dc_ = nullptr;  // the memory context, or the target itself when printing
  HDC target_;
  RECT rect_{};
  bool off_screen_;
  pw::UniqueMemoryDC memory_;
  pw::UniqueBitmap bitmap_;
  std::optional<pw::SelectedObject> previous_bitmap_;  // declared last: deselects first
};

class CGradientProgressCtrl : public pw::SubclassedControl {
 public:
  CGradientProgressCtrl() noexcept;
  ~CGradientProgressCtrl() override;

  // Stores the bounds, moves the position to `lower` and forwards PBM_SETRANGE
  // (each bound cut to 16 bits). Window thread only.
  void SetRange(int lower, int upper) noexcept;
  // Stores the position and forwards PBM_SETPOS; returns the platform bar's
  // previous position. Window thread only.
  int SetPos(int pos) noexcept;

  // These only store; the new value shows at the next paint.
  void SetStartColor(COLORREF color) noexcept { start_color_ = color; }
  void SetEndColor(COLORREF color) noexcept { end_color_ = color; }
  void SetPercentTextColor(COLORREF color) noexcept { text_color_ = text_over_empty_color_ = color; }
  void SetBkColor(COLORREF color) noexcept { background_color_ = color; }
  void ShowPercent(BOOL show) noexcept { show_percent_ = show; }
  void SetLabelText(const std::string& label) { label_ = label; }
  // The look's colours at once: the gradient, the empty part, and the percentage
  // over the filled part (the text colour) and over the empty part.
  void SetColors(const pw::BarColors& colors) noexcept;

  // Paints the bar onto `dc` (the window's client area in its coordinates).
  void Paint(HDC dc) noexcept;

 protected:
  LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) noexcept override;

 private:
  // Returns where the filled part ends: the background starts there.
  int DrawGradient(HDC dc, const RECT& client, int extent) noexcept;

  std::string label_;
  int lower_ = 0;
  int upper_ = 100;
  [[maybe_unused]] int step_ = 10;  // set at construction only; nothing reads it
  int position_ = 0;
  COLORREF start_color_ = 0x800000;
  COLORREF end_color_ = 0xFF0000;
  COLORREF background_color_;
  COLORREF text_color_ = 0xFFFFFF;
  COLORREF text_over_empty_color_ = 0xFFFFFF;
  bool blank_in_button_face_ = true;
  BOOL show_percent_ = FALSE;
};
