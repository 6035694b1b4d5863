#include "win/accessibility.h"

// The annotation service's identifiers are defined here, as its documentation asks.
#include <initguid.h>
#include <oleacc.h>

namespace pw {

namespace {

// UI Automation's LiveSetting property and event, from Windows 8 on; the headers
// name them only for builds that require it (or not at all), so they stand here
// by their documented values. Older Windows ignore both.
constexpr GUID kLiveSettingProperty = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr DWORD kLiveRegionChanged = 0x8019;
#ifdef EVENT_OBJECT_LIVEREGIONCHANGED
static_assert(EVENT_OBJECT_LIVEREGIONCHANGED == kLiveRegionChanged, "the documented value");
#endif

// The control itself, as the stock control's accessible object presents it.
constexpr DWORD kClientObject = static_cast<DWORD>(OBJID_CLIENT);

}  // namespace

Annotations::Annotations() noexcept {
  // A window thread's apartment is single-threaded.
  const HRESULT entered = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  com_entered_ = SUCCEEDED(entered);
  if (!com_entered_ && entered != RPC_E_CHANGED_MODE) return;
  if (FAILED(::CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                services_.put())))
    services_.reset();
}

Annotations::~Annotations() {
  services_.reset();
  if (com_entered_) ::CoUninitialize();
}

void Annotations::set_live_setting(HWND control, LiveSetting setting) noexcept {
  if (!services_ || !control) return;
  VARIANT value{};
  value.vt = VT_I4;
  value.lVal = static_cast<LONG>(setting);
  services_->SetHwndProp(control, kClientObject, CHILDID_SELF, kLiveSettingProperty, value);
}

void Annotations::set_name(HWND control, const wchar_t* name) noexcept {
  if (!services_ || !control) return;
  if (SUCCEEDED(services_->SetHwndPropStr(control, kClientObject, CHILDID_SELF, PROPID_ACC_NAME, name)))
    ::NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, control, OBJID_CLIENT, CHILDID_SELF);
}

void Annotations::clear(HWND control) noexcept {
  if (!services_ || !control) return;
  const MSAAPROPID properties[] = {kLiveSettingProperty, PROPID_ACC_NAME};
  services_->ClearHwndProps(control, kClientObject, CHILDID_SELF, properties, 2);
}

void raise_live_region_changed(HWND control) noexcept {
  if (control) ::NotifyWinEvent(kLiveRegionChanged, control, OBJID_CLIENT, CHILDID_SELF);
}

}  // namespace pw
