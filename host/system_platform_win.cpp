#include "host/system_platform.h"

#include <objbase.h>
#include <shobjidl.h>

#include <string>
#include <utility>

namespace pw {

SystemPlatform::~SystemPlatform() { detach(); }

void SystemPlatform::attach(HWND window) noexcept {
  window_ = window;
  const HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  com_initialised_ = SUCCEEDED(init);
  ComPtr<ITaskbarList3> taskbar;
  if (SUCCEEDED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                   taskbar.put())) &&
      taskbar && SUCCEEDED(taskbar->HrInit()))
    taskbar_ = std::move(taskbar);
}

void SystemPlatform::detach() noexcept {
  if (reason_set_) set_shutdown_reason(std::u16string());
  taskbar_.reset();
  if (com_initialised_) ::CoUninitialize();
  com_initialised_ = false;
  window_ = nullptr;
}

void SystemPlatform::set_taskbar_state(TaskbarProgress state) noexcept {
  if (!taskbar_) return;
  TBPFLAG flag = TBPF_NOPROGRESS;
  if (state == TaskbarProgress::normal) flag = TBPF_NORMAL;
  if (state == TaskbarProgress::error) flag = TBPF_ERROR;
  taskbar_->SetProgressState(window_, flag);
}

void SystemPlatform::set_taskbar_value(int percent) noexcept {
  if (taskbar_) taskbar_->SetProgressValue(window_, static_cast<ULONGLONG>(percent < 0 ? 0 : percent), 100);
}

void SystemPlatform::keep_system_awake(bool awake) noexcept {
  ::SetThreadExecutionState(awake ? (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) : ES_CONTINUOUS);
}

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the system's wide texts are UTF-16");

void SystemPlatform::set_shutdown_reason(const std::u16string& reason) noexcept {
  if (!window_) return;
  if (reason.empty()) {
    if (reason_set_) ::ShutdownBlockReasonDestroy(window_);
    reason_set_ = false;
    return;
  }
  // Only a reason for the user: refusing the session end does not depend on it.
  reason_set_ = ::ShutdownBlockReasonCreate(window_, reinterpret_cast<const wchar_t*>(reason.c_str())) != FALSE;
}

// A hidden window (the console program's) has no taskbar button to flash.
bool SystemPlatform::window_in_foreground() noexcept {
  return ::GetForegroundWindow() == window_ || !::IsWindowVisible(window_);
}

void SystemPlatform::flash_window() noexcept {
  FLASHWINFO flash{};
  flash.cbSize = sizeof flash;
  flash.hwnd = window_;
  flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;  // until the window comes to the front
  ::FlashWindowEx(&flash);
}

}  // namespace pw
