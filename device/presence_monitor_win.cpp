#include "device/presence_monitor.h"

#include <windows.h>
#include <shellapi.h>

#include "device/pipe_library.h"
#include "device/presence_rule.h"
#include "lang/lang_text.h"
#include "resources/resource.h"
#include "win/handles.h"
#include "win/message_box.h"
#include "win/module_path.h"
#include "win/wide_text.h"

namespace pw {

namespace {
constexpr UINT kLinkedPollMs = 1000;
constexpr UINT kUnlinkedPollMs = 800;
constexpr char kInstallerName[] = "\\InstallUsbDrive.exe";
constexpr char kLibraryUnloadedText[] = "BMC51xUSB.dll unloaded";
}  // namespace

std::string installer_path() {
  const std::string folder = current_directory();
  if (folder.empty()) return std::string();
  std::string path = folder + kInstallerName;  // a drive root gives two separators, used as they are
  if (utf16_length(path) >= MAX_PATH) return std::string();
  return path;
}

Outcome poll_device_presence(SessionState& session, WindowPort& window, PresenceCheck check) {
  if (check == PresenceCheck::recheck) {
    session.presence_recheck_pending = false;
  } else if (session.presence_recheck_pending) {
    return Outcome::go_on;  // the recheck under way decides
  }
  const bool transfer_running = session.running_worker != nullptr;
  HANDLE device = INVALID_HANDLE_VALUE;
  {
    std::optional<PipeLibrary> library = PipeLibrary::load();
    if (!library) {
      // One box per run of failed loads, so boxes never pile up and Cancel stays
      // within reach; polling goes on meanwhile. None during a transfer, which
      // would wait under it.
      if (!session.library_box_open && !session.library_failure_reported && !transfer_running) {
        const std::string text = library_failure_text(kLibraryUnloadedText);
        session.library_box_open = true;
        session.library_failure_reported = true;
        window.show_box(text, kBoxOk);
        session.library_box_open = false;
      }
      return Outcome::go_on;
    }
    session.library_failure_reported = false;
    device = library->open_dev();
  }  // the library is freed before the handle is used

  const PresenceVerdict verdict =
      judge_presence({device != INVALID_HANDLE_VALUE, check == PresenceCheck::recheck, session.command_running,
                      transfer_running, session.update_started, session.ending_box_open});
  switch (verdict) {
    case PresenceVerdict::linked: {
      UniqueHandle probe(device);  // only a presence probe: closed at once
      session.linked = true;
      session.installer_started = true;
      window.set_text(IDC_LINK_STATUS, LangText(text::kLinked));
      window.set_poll_period(kLinkedPollMs);
      return Outcome::go_on;
    }
    case PresenceVerdict::unchanged: return Outcome::go_on;
    case PresenceVerdict::recheck:
      session.presence_recheck_pending = true;
      window.schedule_presence_recheck(kPresenceRecheckMs);
      return Outcome::go_on;
    case PresenceVerdict::not_linked:
    case PresenceVerdict::lost_update: break;
  }
  session.linked = false;
  window.set_text(IDC_LINK_STATUS, LangText(text::kNotLinked));
  if (verdict == PresenceVerdict::lost_update) {
    session.update_started = false;  // cleared first, so the question is asked once
    if (window.show_box(LangText(text::kDeviceNotLinked), kBoxOk) == IDOK) return Outcome::end_process;
  }
  if (!session.installer_started) {
    session.installer_started = true;
    const std::string path = installer_path();
    if (!path.empty()) ::ShellExecuteW(nullptr, L"open", widen(path).c_str(), nullptr, nullptr, SW_SHOW);
  }
  window.set_poll_period(kUnlinkedPollMs);
  return Outcome::go_on;
}

}  // namespace pw
