#pragma once
// The presence probe under way, on a thread of its own (DriverCall): at most one
// at a time, a recheck asked meanwhile kept for its answer, and one that has not
// answered for long said stuck. The host's window hears its answer by a posted
// message and hands it here.
#include <windows.h>

#include <optional>

#include "device/driver_call.h"
#include "device/presence_check.h"

namespace pw {

class PresenceProbe {
 public:
  explicit PresenceProbe(UINT answered_message) noexcept : message_(answered_message) {}

  // Starts a probe for `check` that answers to `window`, unless one is
  // outstanding (a recheck then waits for its answer). Whether one started.
  bool start(HWND window, PresenceCheck check) noexcept;
  // A probe has not answered yet (stuck or not).
  bool outstanding() const noexcept { return probe_ && probe_->result() == DriverCallResult::running; }
  bool stuck() const noexcept { return stuck_; }
  // Said not to answer: once, while it stays outstanding. Whether it was news.
  bool mark_stuck() noexcept;
  // Waits up to `bound_ms`, serving no messages, for the one outstanding to answer.
  bool answers_within(unsigned bound_ms) const noexcept { return probe_ && probe_->returned_within(bound_ms); }
  // Waits up to `bound_ms`; one that has not answered by then is given up (stuck).
  bool wait(unsigned bound_ms) noexcept;
  // Whether `serial` (a posted message's wParam) is the outstanding probe's answer.
  bool is_answer(WPARAM serial) const noexcept { return probe_ && static_cast<std::uint32_t>(serial) == probe_->serial(); }

  // The answer of the probe that has returned, and the check it was for; the
  // probe is then over. Memory that ran out in the call throws std::bad_alloc.
  ProbeAnswer take_answer(PresenceCheck& check);
  // A recheck came while a probe was outstanding: it goes now.
  bool take_waiting_recheck() noexcept;

 private:
  UINT message_;
  std::optional<DriverCall> probe_;
  PresenceCheck check_ = PresenceCheck::periodic;
  bool recheck_waiting_ = false;
  bool stuck_ = false;
};

}  // namespace pw
