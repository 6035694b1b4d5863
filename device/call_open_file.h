#pragma once
// Calls a vendor's open_file export without knowing its calling convention.
// Only the 32-bit build needs it: on x86_64 there is one convention.
#include <windows.h>

#if defined(_M_IX86) || defined(__i386__)
extern "C" {
// Calls `open_file(pipe_name)` and puts the stack pointer back as it was before
// the argument was pushed, whether the callee popped the argument (__stdcall) or
// left it to the caller (__cdecl). The version for MinGW is
// device/call_open_file_i686.S; an MSVC build brings its own beside it.
HANDLE __cdecl pw_call_open_file_i686(void (*open_file)(), const char* pipe_name);
}
#endif
