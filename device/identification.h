#pragma once

class CPushwellDlg;

namespace pw {

struct DeviceState;

// The process-wide identification state shared with the reader thread.
DeviceState& device_state() noexcept;
void clear_identified_flag() noexcept;

// Makes sure the attached device is the right model: writes the identification byte
// on the out pipe, lets a reader thread watch the in pipe for the reply, waits, and
// stops the reader. Returns true when the device identified itself (now or earlier in
// this run). Returns false when the command ends (a box has told the user why). A
// device that answers wrongly or not at all ends the process.
bool identify_device(CPushwellDlg& dialog) noexcept;

}  // namespace pw
