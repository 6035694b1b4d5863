#pragma once
// One updater per computer: the rule that turns the system's answers to the
// lock's named object into a decision. The object itself is made by
// single_instance_win.cpp. Pure.
#include <optional>

namespace pw {

// What creating (or only opening) the lock's named object in one namespace gave.
enum class LockAttempt {
  created,        // ours now
  exists,         // another updater holds it (also under another user, or as another kind of object)
  absent,         // only opened: nobody holds it
  unusable,       // the namespace cannot be used at all
};

// The system's answer: whether a handle came back, and the thread's last error then.
struct LockAnswer {
  bool handle = false;
  unsigned long error = 0;
};

// The error codes the rule reads (their values in winerror.h).
inline constexpr unsigned long kErrorFileNotFound = 2;
inline constexpr unsigned long kErrorAccessDenied = 5;
inline constexpr unsigned long kErrorInvalidHandle = 6;  // the name is held by another kind of object
inline constexpr unsigned long kErrorAlreadyExists = 183;

// An attempt to create the object; an attempt only to open it (a check that takes no lock).
LockAttempt created_lock_attempt(const LockAnswer& answer);
LockAttempt opened_lock_attempt(const LockAnswer& answer);

enum class InstanceVerdict {
  run,           // this updater holds the lock (or, for a check, nobody holds it)
  another_runs,  // another updater holds it: this one must not touch the device
  run_unlocked,  // no namespace could be used; nothing to compare with
};

// `global` is the attempt in the computer-wide namespace; `session` the one in
// the session's own, made only when the global namespace was unusable.
InstanceVerdict judge_instance_lock(LockAttempt global, std::optional<LockAttempt> session);

// Whether the session's namespace has to be tried after `global`.
inline bool needs_session_lock(LockAttempt global) { return global == LockAttempt::unusable; }

}  // namespace pw
