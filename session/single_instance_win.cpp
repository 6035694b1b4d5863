#include "session/single_instance.h"

#include <optional>

namespace pw {

namespace {

constexpr wchar_t kGlobalName[] = L"Global\\Pushwell.Updater.Running";
constexpr wchar_t kSessionName[] = L"Local\\Pushwell.Updater.Running";

LockAttempt try_create(const wchar_t* name, UniqueHandle* held) {
  UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, name));
  const DWORD error = ::GetLastError();
  if (!mutex) return error == ERROR_ACCESS_DENIED ? LockAttempt::access_denied : LockAttempt::unusable;
  if (error == ERROR_ALREADY_EXISTS) return LockAttempt::exists;
  *held = std::move(mutex);
  return LockAttempt::created;
}

BOOL CALLBACK find_marked_window(HWND window, LPARAM found) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  if (process == ::GetCurrentProcessId() || ::GetPropW(window, kMainWindowMark) == nullptr) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

}  // namespace

InstanceLock InstanceLock::acquire() noexcept {
  UniqueHandle mutex;
  const LockAttempt global = try_create(kGlobalName, &mutex);
  std::optional<LockAttempt> session;
  if (needs_session_lock(global)) session = try_create(kSessionName, &mutex);
  return InstanceLock(std::move(mutex), judge_instance_lock(global, session));
}

void bring_running_updater_forward() noexcept {
  HWND running = nullptr;
  ::EnumWindows(&find_marked_window, reinterpret_cast<LPARAM>(&running));
  if (running == nullptr) return;  // another user's, or not yet shown
  if (::IsIconic(running)) ::ShowWindowAsync(running, SW_RESTORE);
  // A box of the running updater stands in front of its window.
  ::SetForegroundWindow(::GetLastActivePopup(running));
}

}  // namespace pw
