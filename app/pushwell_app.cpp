#include "app/pushwell_app.h"

#include <windows.h>
#include <commctrl.h>

#include "app/main_dialog.h"
#include "device/pipe_library.h"

int CPushwellApp::run() noexcept {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = 8;
  controls.dwICC = 0xFF;
  ::InitCommonControlsEx(&controls);
  pw::exclude_current_directory_from_library_search();

  CPushwellDlg dialog;
  dialog.run_modal(nullptr);  // the dialog's result is not used
  return 0;
}
