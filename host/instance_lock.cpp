#include "host/instance_lock.h"

namespace pw {

namespace {

InstanceVerdict verdict_of(LockAttempt attempt) {
  switch (attempt) {
    case LockAttempt::created:
    case LockAttempt::absent: return InstanceVerdict::run;
    case LockAttempt::exists: return InstanceVerdict::another_runs;  // held, whoever holds it
    case LockAttempt::unusable: break;
  }
  return InstanceVerdict::run_unlocked;
}

// No handle: a name that someone holds, or a namespace that cannot be used.
LockAttempt refused_attempt(unsigned long error) {
  // Denied: another user's updater made it. Invalid handle: the name is taken by
  // another kind of object; read as held, so two updaters never fall back to
  // their own sessions' names and flash at once.
  if (error == kErrorAccessDenied || error == kErrorInvalidHandle) return LockAttempt::exists;
  return LockAttempt::unusable;
}

}  // namespace

LockAttempt created_lock_attempt(const LockAnswer& answer) {
  if (!answer.handle) return refused_attempt(answer.error);
  return answer.error == kErrorAlreadyExists ? LockAttempt::exists : LockAttempt::created;
}

LockAttempt opened_lock_attempt(const LockAnswer& answer) {
  if (answer.handle) return LockAttempt::exists;
  return answer.error == kErrorFileNotFound ? LockAttempt::absent : refused_attempt(answer.error);
}

InstanceVerdict judge_instance_lock(LockAttempt global, std::optional<LockAttempt> session) {
  if (!needs_session_lock(global)) return verdict_of(global);
  return session ? verdict_of(*session) : InstanceVerdict::run_unlocked;
}

}  // namespace pw
