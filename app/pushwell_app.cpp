#include "app/pushwell_app.h"

#include <windows.h>

#include <new>
#include <string>

#include "app/main_dialog.h"
#include "host/workflow_host.h"
#include "win/module_path.h"
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
  CPushwellDlg dialog(host);
  pw::RunOptions options;
  options.folder = pw::current_directory();  // the update files are looked for there, read once here
  host.run(options, dialog);
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
