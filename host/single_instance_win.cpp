#include "host/single_instance.h"

#include <optional>

namespace pw {

namespace {

constexpr wchar_t kGlobalName[] = L"Global\\Pushwell.Updater.Running";
constexpr wchar_t kSessionName[] = L"Local\\Pushwell.Updater.Running";

LockAttempt try_create(const wchar_t* name, UniqueHandle* held) {
  UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, name));
  const LockAttempt attempt = created_lock_attempt({static_cast<bool>(mutex), ::GetLastError()});
  if (attempt == LockAttempt::created) *held = std::move(mutex);
  return attempt;
}

LockAttempt try_open(const wchar_t* name) {
  const UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, name));
  return opened_lock_attempt({static_cast<bool>(mutex), ::GetLastError()});
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

bool InstanceLock::held_elsewhere() noexcept {
  const LockAttempt global = try_open(kGlobalName);
  std::optional<LockAttempt> session;
  if (needs_session_lock(global)) session = try_open(kSessionName);
  return judge_instance_lock(global, session) == InstanceVerdict::another_runs;
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
