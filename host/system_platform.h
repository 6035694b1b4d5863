#pragma once
// PlatformCalls on the real system, for one window. Where the taskbar interface
// cannot be had, its calls do nothing and the program goes on without it.
#include <windows.h>
#include <shobjidl.h>

#include "host/platform.h"
#include "host/power_source.h"
#include "win/handles.h"


namespace pw {

class SystemPlatform final : public PlatformCalls {
 public:
  SystemPlatform() noexcept = default;
  ~SystemPlatform();
  SystemPlatform(const SystemPlatform&) = delete;
  SystemPlatform& operator=(const SystemPlatform&) = delete;

  // Host thread, once the window exists.
  void attach(HWND window) noexcept;
  void detach() noexcept;

  void set_taskbar_state(TaskbarProgress state) noexcept override;
  void set_taskbar_value(int percent) noexcept override;
  // A power request where Windows can make one (7 and later), else the
  // thread's execution state; the window thread's, as every call here.
  void keep_awake(bool awake, const std::u16string& reason) noexcept override;
  void set_shutdown_reason(const std::u16string& reason) noexcept override;
  bool window_in_foreground() noexcept override;
  void flash_window() noexcept override;
  PowerStatus power_status() noexcept override;

 private:
  bool request_power(const std::u16string& reason) noexcept;
  void clear_power_request() noexcept;

  HWND window_ = nullptr;
  ComPtr<ITaskbarList3> taskbar_;
  bool com_initialised_ = false;
  bool reason_set_ = false;
  UniqueHandle power_request_;
  bool display_requested_ = false;
  bool execution_requested_ = false;
  bool execution_state_set_ = false;  // the request could not be made
};

// Whether the computer runs on battery with too little charge to start an update.
inline bool battery_on_low_charge() noexcept { return battery_too_low_to_start(read_power_status()); }

}  // namespace pw
