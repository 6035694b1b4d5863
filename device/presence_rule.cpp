#include "device/presence_rule.h"

namespace pw {

PresenceVerdict judge_presence(const PresenceFacts& facts) {
  if (facts.found) return PresenceVerdict::linked;
  // Some drivers refuse the probe while the out pipe is busy, though every byte
  // still arrives: the transfer's own bounded failure tells a lost device.
  if (facts.transfer_running) return PresenceVerdict::unchanged;
  // One missed check must not skip files or end the process mid-update.
  if (facts.command_running && !facts.recheck) return PresenceVerdict::recheck;
  // Behind the box that ends the process, the update is over: nothing to lose.
  if (facts.update_started && !facts.ending_box_open) return PresenceVerdict::lost_update;
  return PresenceVerdict::not_linked;
}

PresencePlan plan_presence(const PresenceFacts& facts, const PresenceMemory& memory) {
  PresencePlan plan;
  if (!facts.library_loaded) {
    // Nothing is known of the device: the status and the period stay, the next tick tries again.
    plan.library_message =
        !memory.library_message_open && !memory.library_failure_reported && !facts.transfer_running;
    return plan;
  }
  plan.verdict = judge_presence(facts);
  switch (plan.verdict) {
    case PresenceVerdict::linked: plan.poll_period_ms = kLinkedPollMs; break;
    case PresenceVerdict::unchanged: break;
    case PresenceVerdict::recheck: plan.recheck_in_ms = kPresenceRecheckMs; break;
    case PresenceVerdict::not_linked:
    case PresenceVerdict::lost_update:
      plan.start_installer = !memory.installer_started;
      plan.poll_period_ms = kUnlinkedPollMs;
      break;
  }
  return plan;
}

}  // namespace pw
