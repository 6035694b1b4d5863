#pragma once
// A dialog in the look the system's settings ask for: its background and texts
// dark where the user's apps are dark (through the WM_CTLCOLOR* messages), its
// title bar and buttons dark where the system has that, and everything left to the
// system in the light look and under High Contrast. It follows a change of those
// settings while the dialog runs.
#include <windows.h>

#include <functional>

#include "ui/look.h"
#include "win/dialog.h"
#include "win/handles.h"

namespace pw {

class DialogLook final : public DialogColors {
 public:
  // Hears each new look once the dialog shows it (the bar takes its colours so).
  void on_change(std::function<void(const Look&)> listener) { listener_ = std::move(listener); }
  // Reads the settings and puts `dialog` in their look; repaints it when the look changed.
  void apply(HWND dialog) noexcept;
  const Look& look() const noexcept { return look_; }

  HBRUSH control_color(HDC dc) noexcept override;
  void system_colors_changed(HWND dialog) noexcept override { apply(dialog); }

 private:
  Look look_{};
  bool applied_ = false;
  UniqueBrush background_;
  std::function<void(const Look&)> listener_;
};

}  // namespace pw
