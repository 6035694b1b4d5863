#pragma once
#include <windows.h>

namespace pw {

// Waits until `handle` is signalled or `timeout_ms` has passed (INFINITE: no
// limit), dispatching this thread's messages meanwhile without spinning: the
// wait wakes for a message or for the handle, whichever comes first. Returns
// whether the handle was signalled.
bool serve_messages_until_signalled(HANDLE handle, DWORD timeout_ms) noexcept;

}  // namespace pw
