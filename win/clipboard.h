#pragma once
#include <windows.h>

#include <string>

namespace pw {

// Puts `utf8` on the clipboard as Unicode text, owned by `owner`. False when the
// clipboard could not be opened (another program holds it) or memory ran out.
bool copy_to_clipboard(HWND owner, const std::string& utf8) noexcept;

}  // namespace pw
