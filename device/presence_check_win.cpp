#include "device/presence_check.h"

#include <windows.h>

#include "device/pipe_library.h"
#include "device/presence_rule.h"
#include "lang/lang_text.h"
#include "win/handles.h"
#include "win/wide_text.h"

namespace pw {

namespace {
constexpr char kLibraryUnloadedText[] = "BMC51xUSB.dll unloaded";

// The front end hears the link the first time and then only when it changes.
void tell_link(SessionState& session, Frontend& frontend, bool linked) {
  const bool changed = !session.link_reported || session.linked != linked;
  session.linked = linked;
  session.link_reported = true;
  if (changed) frontend.linked(linked);
}

}  // namespace

std::string installer_path(const std::string& folder) {
  if (folder.empty()) return std::string();
  std::string path = folder + "\\" + kInstallerName;  // a drive root gives two separators, used as they are
  if (utf16_length(path) >= MAX_PATH) return std::string();
  return path;
}

bool presence_probe_wanted(const SessionState& session, PresenceCheck check) noexcept {
  return check == PresenceCheck::recheck || !session.presence_recheck_pending;
}

Outcome act_on_presence(SessionState& session, Frontend& frontend, PresenceSchedule& schedule,
                        const PresenceContext& context, const ProbeAnswer& answer) {
  const PresenceCheck check = context.check;
  if (check == PresenceCheck::recheck) session.presence_recheck_pending = false;
  PresenceFacts facts{answer.found,
                      check == PresenceCheck::recheck,
                      context.command_running,
                      context.transfer_running,
                      session.update_started,
                      context.ending_box_open,
                      answer.library_loaded};
  if (answer.library_loaded && !session.linked) {  // not at every tick while linked
    try {
      const DriverBinding& binding = answer.binding;
      frontend.library_bound(binding.path, binding.version, binding.open_dev_export, binding.open_file_export);
    } catch (const std::bad_alloc&) {
    }
  }

  const PresencePlan plan = plan_presence(
      facts, {session.installer_started, session.library_box_open, session.library_failure_reported});
  if (!facts.library_loaded) {
    if (plan.library_message) {
      const std::string text = library_failure_text(kLibraryUnloadedText, answer.binding.foreign);
      session.library_box_open = true;
      session.library_failure_reported = true;
      frontend.message(text, MessageStyle::warning);
      session.library_box_open = false;
    }
    return Outcome::go_on;
  }
  session.library_failure_reported = false;

  switch (plan.verdict) {
    case PresenceVerdict::linked:
      tell_link(session, frontend, true);
      session.installer_started = true;
      break;
    case PresenceVerdict::unchanged: break;
    case PresenceVerdict::recheck: session.presence_recheck_pending = true; break;
    case PresenceVerdict::not_linked:
    case PresenceVerdict::lost_update:
      tell_link(session, frontend, false);
      break;
  }
  if (plan.recheck_in_ms != 0) schedule.schedule_presence_recheck(plan.recheck_in_ms);
  if (plan.verdict == PresenceVerdict::lost_update) {
    session.update_started = false;  // cleared first, so the question is asked once
    if (frontend.device_lost(LangText(text::kDeviceNotLinked))) return Outcome::end_process;
  }
  // A check inside the question may have asked for the installer meanwhile.
  if (plan.start_installer && !session.installer_started) {
    session.installer_started = true;
    frontend.installer_wanted(context.folder ? installer_path(*context.folder) : std::string());
  }
  if (plan.poll_period_ms != 0) schedule.set_poll_period(plan.poll_period_ms);
  return Outcome::go_on;
}

}  // namespace pw
