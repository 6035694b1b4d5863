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

}  // namespace pw
