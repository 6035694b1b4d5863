#pragma once
#include <windows.h>

#include <string>

namespace pw {

// The styles the application asks for. A plain OK box shows the exclamation icon.
enum : UINT {
  kBoxOk = 0,          // OK button, exclamation icon
  kBoxStop = 16,       // OK button, stop-sign icon
  kBoxQuestion = 32,   // OK button, question icon
};

// Maps an application style to the system's MB_* flags.
UINT message_box_flags(UINT style) noexcept;

// The application's name: the executable's file name without its extension.
std::string application_name();

// A modal box captioned with the application's name; returns the button id.
// `opened`, when given, receives the box's window as soon as it exists, so the
// program can close the box itself whatever it shows.
int show_message_box(HWND owner, const char* text, UINT style, HWND* opened = nullptr) noexcept;

// The box that says memory ran out (`text`, fixed). It needs no memory of its own to open.
void show_out_of_memory_box(HWND owner, const char* text) noexcept;

}  // namespace pw
