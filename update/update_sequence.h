#pragma once

class CPushwellDlg;

namespace pw {

// The update command: checks the link, identifies the device, then sends the update
// files of the current directory that are present and flagged, in a fixed order,
// serving the window's messages while each transfer runs. Ends the process when the
// sequence completes; returns when the command ends early.
void run_update_command(CPushwellDlg& dialog);

}  // namespace pw
