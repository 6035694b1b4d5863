#pragma once
#include <string>

class CPushwellDlg;

namespace pw {

// One poll of the device on a tick of timer 1: keeps `linked` and the status text
// current, starts the driver installer once when no device has been seen, re-arms
// the timer, and asks before ending the program when the device is lost after an
// update command got under way. Returns whether the tick goes on to the default
// handling (not after a failed library load).
bool poll_device_presence(CPushwellDlg& dialog) noexcept;

// "<current directory>\InstallUsbDrive.exe", or "" when it would not fit in 260 bytes.
std::string installer_path();

}  // namespace pw
