#pragma once
// PlatformCalls on the real system, for one window. Where the taskbar interface
// cannot be had, its calls do nothing and the program goes on without it.
#include <windows.h>
#include <shobjidl.h>

#include "host/platform.h"
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
  void keep_system_awake(bool awake) noexcept override;
  void set_shutdown_reason(const std::u16string& reason) noexcept override;
  bool window_in_foreground() noexcept override;
  void flash_window() noexcept override;

 private:
  HWND window_ = nullptr;
  ComPtr<ITaskbarList3> taskbar_;
  bool com_initialised_ = false;
  bool reason_set_ = false;
};

}  // namespace pw
