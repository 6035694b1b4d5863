#include "app/pushwell_app.h"

#include <windows.h>
#include <commctrl.h>

#include <new>
#include <string>

#include "app/main_dialog.h"
#include "session/single_instance.h"
#include "device/pipe_library.h"
#include "lang/lang_text.h"
#include "win/copy_key.h"
#include "win/message_box.h"
#include "win/system_info.h"

namespace {

// Ctrl+C anywhere on the window thread: the details, after a box's own text.
void copy_on_key(void* details, HWND active) noexcept {
  try {
    pw::copy_details(active, static_cast<pw::RunDetails*>(details)->text());
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

int CPushwellApp::run() noexcept {
  try {
    pw::record_run_start(details_, "Pushwell");
  } catch (const std::bad_alloc&) {
  }
  const pw::CopyKeyHook copy_key(&copy_on_key, &details_);
  // A second updater must not write a byte to a device the first one is flashing.
  const pw::InstanceLock lock = pw::InstanceLock::acquire();
  if (lock.verdict() == pw::InstanceVerdict::another_runs) {
    pw::bring_running_updater_forward();
    try {
      const std::string text = pw::LangText(pw::text::kAnotherUpdater);
      details_.add("box (warning): " + text);
      pw::show_message_box(nullptr, text.c_str(), pw::kBoxOk);
      details_.add("the program ends, exit status 0");
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

  CPushwellDlg dialog(details_);
  dialog.run_modal(nullptr);  // the dialog's result is not used
  try {
    details_.add("the program ends, exit status 0");
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
