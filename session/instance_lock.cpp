#include "session/instance_lock.h"

namespace pw {

namespace {
InstanceVerdict verdict_of(LockAttempt attempt) {
  switch (attempt) {
    case LockAttempt::created: return InstanceVerdict::run;
    case LockAttempt::exists:
    case LockAttempt::access_denied: return InstanceVerdict::another_runs;  // held, whoever holds it
    case LockAttempt::unusable: break;
  }
  return InstanceVerdict::run_unlocked;
}
}  // namespace

InstanceVerdict judge_instance_lock(LockAttempt global, std::optional<LockAttempt> session) {
  if (!needs_session_lock(global)) return verdict_of(global);
  return session ? verdict_of(*session) : InstanceVerdict::run_unlocked;
}

}  // namespace pw
