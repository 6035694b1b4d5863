#pragma once
#include <windows.h>

namespace pw {

// Removes, unread, the keyboard and mouse input (client and non-client) queued
// for this thread while it served no messages, so a click or key made then
// cannot act later. Every other message stays, posted commands included. Keys
// removed here never reach a keyboard hook's action (see input_being_discarded).
void discard_queued_input() noexcept;

// True while discard_queued_input removes this thread's input: a keyboard hook,
// which the removal runs, must then not act on the key.
bool input_being_discarded() noexcept;

}  // namespace pw
