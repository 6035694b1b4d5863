#pragma once
// What a screen reader learns about a window's controls beyond what the stock
// controls tell it: which texts are live regions, and names the controls lack.
// Set through the platform's annotation service (IAccPropServices), so the stock
// controls keep answering for themselves.
#include <windows.h>

#include "win/handles.h"

struct IAccPropServices;

namespace pw {

// How urgently a screen reader speaks a live region's change (UI Automation's LiveSetting).
enum class LiveSetting : LONG { off = 0, polite = 1, assertive = 2 };

// The annotation service of this thread. Made, used and ended on one window
// thread, which it enters into a single-threaded COM apartment for its life.
// Where the service cannot be created every call below does nothing.
class Annotations {
 public:
  Annotations() noexcept;
  ~Annotations();
  Annotations(const Annotations&) = delete;
  Annotations& operator=(const Annotations&) = delete;

  // Marks `control` as a live region spoken with `setting`.
  void set_live_setting(HWND control, LiveSetting setting) noexcept;
  // Gives `control` the accessible name `name` and tells clients it changed.
  void set_name(HWND control, const wchar_t* name) noexcept;
  // Removes what was set on `control`; call before it is destroyed.
  void clear(HWND control) noexcept;

 private:
  ComPtr<IAccPropServices> services_;
  bool com_entered_ = false;
};

// Tells clients that live region `control` shows a new text; raised after the
// text has changed, with or without the annotation service.
void raise_live_region_changed(HWND control) noexcept;

}  // namespace pw
