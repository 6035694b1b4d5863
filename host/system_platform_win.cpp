#include "host/system_platform.h"

#include <objbase.h>
#include <shobjidl.h>

#include <string>
#include <utility>

namespace pw {

namespace {

// Windows 7 has these; resolved at run time all the same, so the program
// starts where they are missing and falls back to the execution state.
using PowerCreateRequestFn = HANDLE(WINAPI*)(REASON_CONTEXT*);
using PowerRequestFn = BOOL(WINAPI*)(HANDLE, POWER_REQUEST_TYPE);

struct PowerRequestCalls {
  PowerCreateRequestFn create = nullptr;
  PowerRequestFn set = nullptr;
  PowerRequestFn clear = nullptr;
};

PowerRequestCalls power_request_calls() noexcept {
  PowerRequestCalls calls;
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (!kernel) return calls;
  calls.create = reinterpret_cast<PowerCreateRequestFn>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "PowerCreateRequest")));
  calls.set = reinterpret_cast<PowerRequestFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "PowerSetRequest")));
  calls.clear =
      reinterpret_cast<PowerRequestFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "PowerClearRequest")));
  return calls;
}

// Windows 8 and later keep a program in the background running with it; named
// by value since a header for Windows 7 need not know it.
constexpr POWER_REQUEST_TYPE kExecutionRequired = static_cast<POWER_REQUEST_TYPE>(3);

}  // namespace

SystemPlatform::~SystemPlatform() {
  detach();
  keep_awake(false, std::u16string());
}

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

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the system's wide texts are UTF-16");

void SystemPlatform::keep_awake(bool awake, const std::u16string& reason) noexcept {
  if (!awake) {
    clear_power_request();
    if (execution_state_set_) ::SetThreadExecutionState(ES_CONTINUOUS);
    execution_state_set_ = false;
    return;
  }
  if (power_request_ || execution_state_set_ || request_power(reason)) return;
  ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
  execution_state_set_ = true;
}

bool SystemPlatform::request_power(const std::u16string& reason) noexcept {
  const PowerRequestCalls calls = power_request_calls();
  if (!calls.create || !calls.set || !calls.clear) return false;
  REASON_CONTEXT context{};
  context.Version = POWER_REQUEST_CONTEXT_VERSION;
  context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
  // The system copies the string; it does not write to it.
  context.Reason.SimpleReasonString = const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(reason.c_str()));
  power_request_.reset(calls.create(&context));
  if (!power_request_) return false;
  if (!calls.set(power_request_.get(), PowerRequestSystemRequired)) {
    clear_power_request();
    return false;
  }
  display_requested_ = calls.set(power_request_.get(), PowerRequestDisplayRequired) != FALSE;
  if (!display_requested_) {
    clear_power_request();
    return false;
  }
  // Windows 7 refuses it as an invalid parameter: the two above keep it awake there.
  execution_requested_ = calls.set(power_request_.get(), kExecutionRequired) != FALSE;
  return true;
}

void SystemPlatform::clear_power_request() noexcept {
  if (!power_request_) return;
  const PowerRequestCalls calls = power_request_calls();
  if (calls.clear) {
    if (execution_requested_) calls.clear(power_request_.get(), kExecutionRequired);
    if (display_requested_) calls.clear(power_request_.get(), PowerRequestDisplayRequired);
    calls.clear(power_request_.get(), PowerRequestSystemRequired);
  }
  power_request_.reset();
  display_requested_ = false;
  execution_requested_ = false;
}

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

PowerStatus SystemPlatform::power_status() noexcept { return read_power_status(); }

void SystemPlatform::flash_window() noexcept {
  FLASHWINFO flash{};
  flash.cbSize = sizeof flash;
  flash.hwnd = window_;
  flash.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;  // until the window comes to the front
  ::FlashWindowEx(&flash);
}

}  // namespace pw
