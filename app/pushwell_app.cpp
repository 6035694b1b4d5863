#include "app/pushwell_app.h"

#include <windows.h>
#include <commctrl.h>

#include <new>

#include "app/main_dialog.h"
#include "session/single_instance.h"
#include "device/pipe_library.h"
#include "lang/lang_text.h"
#include "win/message_box.h"

int CPushwellApp::run() noexcept {
  // A second updater must not write a byte to a device the first one is flashing.
  const pw::InstanceLock lock = pw::InstanceLock::acquire();
  if (lock.verdict() == pw::InstanceVerdict::another_runs) {
    pw::bring_running_updater_forward();
    try {
      pw::show_message_box(nullptr, pw::LangText(pw::text::kAnotherUpdater).c_str(), pw::kBoxOk);
    } catch (const std::bad_alloc&) {
      pw::show_out_of_memory_box(nullptr);
    }
    return 0;
  }

  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = 8;
  controls.dwICC = 0xFF;
  ::InitCommonControlsEx(&controls);
  pw::exclude_current_directory_from_library_search();

  CPushwellDlg dialog;
  dialog.run_modal(nullptr);  // the dialog's result is not used
  return 0;
}
