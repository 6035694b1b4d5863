#include "app/pushwell_app.h"

#include <windows.h>
#include <commctrl.h>

#include <new>
#include <string>

#include "app/main_dialog.h"
#include "device/pipe_library.h"
#include "host/workflow_host.h"
#include "lang/lang_text.h"
#include "win/copy_key.h"
#include "win/message_box.h"

namespace {

// Ctrl+C anywhere on the window thread: the details, after a box's own text.
void copy_on_key(void* details, HWND active) noexcept {
  try {
    pw::copy_details(active, static_cast<pw::RunDetails*>(details)->text());
  } catch (const std::bad_alloc&) {
  }
}

int run_updater() {
  pw::WorkflowHost host("Pushwell", pw::ProcessEnd::exit_now);
  const pw::CopyKeyHook copy_key(&copy_on_key, &host.details());
  // A second updater must not write a byte to a device the first one is flashing.
  if (host.take_lock() == pw::InstanceVerdict::another_runs) {
    pw::bring_running_updater_forward();
    const std::string text = pw::LangText(pw::text::kAnotherUpdater);
    host.details().add("box (warning): " + text);
    pw::show_message_box(nullptr, text.c_str(), pw::kBoxOk);
    host.details().add("the program ends, exit status 0");
    return 0;
  }

  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = 8;
  controls.dwICC = 0xFF;
  ::InitCommonControlsEx(&controls);
  pw::exclude_current_directory_from_library_search();

  CPushwellDlg dialog(host);
  dialog.run_modal(nullptr);  // the dialog's result is not used
  host.details().add("the program ends, exit status 0");
  return 0;
}

}  // namespace

int CPushwellApp::run() noexcept {
  try {
    return run_updater();
  } catch (const std::bad_alloc&) {
    pw::show_out_of_memory_box(nullptr, pw::kOutOfMemoryText);
    return 0;
  }
}
