#include "host/presence_probe.h"

#include <new>

namespace pw {

bool PresenceProbe::start(HWND window, PresenceCheck check) noexcept {
  if (outstanding()) {
    // No second probe while one is outstanding; a recheck waits for its answer.
    if (check == PresenceCheck::recheck) recheck_waiting_ = true;
    return false;
  }
  check_ = check;
  probe_.emplace(DriverCall::probe(window, message_));
  return true;
}

bool PresenceProbe::mark_stuck() noexcept {
  if (!outstanding() || stuck_) return false;
  stuck_ = true;
  return true;
}

bool PresenceProbe::wait(unsigned bound_ms) noexcept {
  if (!probe_) return false;
  if (probe_->wait(bound_ms) != DriverCallResult::timed_out) return true;
  // The answer's posted message is then ignored: its serial is no longer the probe's.
  probe_.reset();
  stuck_ = true;
  return false;
}

ProbeAnswer PresenceProbe::take_answer(PresenceCheck& check) {
  ProbeAnswer answer;
  check = check_;
  if (!probe_) return answer;
  const DriverCallResult result = probe_->result();
  answer.library_loaded = result == DriverCallResult::found || result == DriverCallResult::not_found;
  answer.found = result == DriverCallResult::found;
  answer.binding = probe_->binding();
  probe_.reset();
  stuck_ = false;
  if (result == DriverCallResult::out_of_memory) throw std::bad_alloc();
  return answer;
}

bool PresenceProbe::take_waiting_recheck() noexcept {
  const bool waiting = recheck_waiting_;
  recheck_waiting_ = false;
  return waiting;
}

}  // namespace pw
