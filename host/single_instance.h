#pragma once
// The lock that lets one updater per computer write to the device, held from
// start until the process ends.
#include <windows.h>

#include "host/instance_lock.h"
#include "win/handles.h"

namespace pw {

// Marks the running updater's main window, so a second start can find it.
inline constexpr wchar_t kMainWindowMark[] = L"Pushwell.Updater.MainWindow";

class InstanceLock {
 public:
  // Takes the lock in the computer-wide namespace, or in the session's when that
  // one cannot be used at all.
  static InstanceLock acquire() noexcept;

  InstanceVerdict verdict() const noexcept { return verdict_; }

  // Whether another updater holds the lock now, found without creating it.
  static bool held_elsewhere() noexcept;

 private:
  InstanceLock(UniqueHandle mutex, InstanceVerdict verdict) noexcept : mutex_(std::move(mutex)), verdict_(verdict) {}
  UniqueHandle mutex_;  // released by the system when the process ends
  InstanceVerdict verdict_;
};

// Brings the running updater's window (or the box it shows) to the front, where
// the system lets this process do so.
void bring_running_updater_forward() noexcept;

}  // namespace pw
