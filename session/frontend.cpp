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

// The empty bodies a front end keeps for what it shows nothing of: their
// parameters are there only for the front ends that use them.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wunused-parameter"
#elif defined(_MSC_VER)
#pragma warning(disable : 4100)
#endif
#define PW_DEFINE_NOTICE(name, parameters, arguments) \
  void Frontend::name parameters noexcept {}
PW_FRONTEND_NOTICES(PW_DEFINE_NOTICE)
#undef PW_DEFINE_NOTICE

}  // namespace pw
