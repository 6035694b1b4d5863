#pragma once
// One updater per computer: the rule that turns the attempts at taking the lock
// into a decision. The named object itself is made in app/. Pure.
#include <optional>

namespace pw {

// What creating the lock's named object in one namespace gave.
enum class LockAttempt {
  created,        // ours now
  exists,         // another updater made it
  access_denied,  // it exists, made by another user's updater
  unusable,       // the namespace cannot be used at all
};

enum class InstanceVerdict {
  run,           // this updater holds the lock
  another_runs,  // another updater holds it: this one must not touch the device
  run_unlocked,  // no namespace could be used; nothing to compare with
};

// `global` is the attempt in the computer-wide namespace; `session` the one in
// the session's own, made only when the global namespace was unusable.
InstanceVerdict judge_instance_lock(LockAttempt global, std::optional<LockAttempt> session);

// Whether the session's namespace has to be tried after `global`.
inline bool needs_session_lock(LockAttempt global) { return global == LockAttempt::unusable; }

}  // namespace pw
