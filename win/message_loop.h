#pragma once
#include <windows.h>

namespace pw {

// Waits until `handle` is signalled or `timeout_ms` has passed (INFINITE: no
// limit), dispatching this thread's messages meanwhile without spinning: the
// wait wakes for a message or for the handle, whichever comes first. Returns
// whether the handle was signalled.
bool serve_messages_until_signalled(HANDLE handle, DWORD timeout_ms) noexcept;

// Dispatches every message queued for this thread now, without waiting: between
// the slices of a long piece of work on the window thread.
void serve_pending_messages() noexcept;

// Removes, unread, the keyboard and mouse input (client and non-client) queued
// for this thread while it served no messages, so a click or key made then
// cannot act later. Every other message stays, posted commands included.
void discard_queued_input() noexcept;

}  // namespace pw
