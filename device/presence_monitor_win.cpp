#include "device/presence_monitor.h"

#include <windows.h>
#include <shellapi.h>

#include "app/main_dialog.h"
#include "device/pipe_library.h"
#include "lang/lang_text.h"
#include "win/handles.h"
#include "win/message_box.h"
#include "win/module_path.h"

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
  if (path.size() >= MAX_PATH) return std::string();
  return path;
}

bool poll_device_presence(CPushwellDlg& dialog) noexcept {
  HANDLE device = INVALID_HANDLE_VALUE;
  {
    std::optional<PipeLibrary> library = PipeLibrary::load();
    if (!library) {
      // One box per run of failed loads, so boxes never pile up and Cancel stays
      // within reach; polling goes on meanwhile.
      if (!dialog.library_box_open && !dialog.library_failure_reported) {
        dialog.library_box_open = true;
        dialog.library_failure_reported = true;
        dialog.message_box(kLibraryUnloadedText, kBoxOk);
        dialog.library_box_open = false;
      }
      return false;
    }
    dialog.library_failure_reported = false;
    device = library->open_dev();
  }  // the library is freed before the handle is used

  if (device != INVALID_HANDLE_VALUE) {
    UniqueHandle probe(device);  // only a presence probe: closed at once
    dialog.linked = true;
    dialog.installer_started = true;
    dialog.set_item_text(IDC_LINK_STATUS, message_text(1024));
    dialog.set_poll_period(kLinkedPollMs);
  } else {
    dialog.linked = false;
    dialog.set_item_text(IDC_LINK_STATUS, message_text(1025));
    if (dialog.update_started) {
      dialog.update_started = false;  // cleared first, so the question is asked once
      if (dialog.message_box(message_text(1021), kBoxOk) == IDOK) dialog.end_process();
    }
    if (!dialog.installer_started) {
      dialog.installer_started = true;
      const std::string path = installer_path();
      if (!path.empty()) ::ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOW);
    }
    dialog.set_poll_period(kUnlinkedPollMs);
  }
  dialog.push_to_controls();
  return true;
}

}  // namespace pw
