#include "session/frontend.h"

namespace pw {

const char* style_name(MessageStyle style) noexcept {
  switch (style) {
    case MessageStyle::warning: break;
    case MessageStyle::stop: return "stop";
    case MessageStyle::question: return "question";
  }
  return "warning";
}

const char* outcome_name(FileOutcome outcome) noexcept {
  switch (outcome) {
    case FileOutcome::sent: break;
    case FileOutcome::not_sent: return "not_sent";
    case FileOutcome::failed: return "failed";
  }
  return "sent";
}

}  // namespace pw
