#include "win/clipboard.h"

#include <cstring>
#include <new>

#include "win/wide_text.h"

namespace pw {

namespace {
// Another program may hold the clipboard for a moment: a few tries, briefly.
constexpr int kOpenTries = 10;
constexpr DWORD kOpenRetryMs = 20;
}  // namespace

bool copy_to_clipboard(HWND owner, const std::string& utf8) noexcept {
  std::wstring text;
  try {
    text = widen(utf8);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (!memory) return false;
  if (void* locked = ::GlobalLock(memory)) {
    std::memcpy(locked, text.c_str(), bytes);
    ::GlobalUnlock(memory);
  } else {
    ::GlobalFree(memory);
    return false;
  }
  bool opened = false;
  for (int i = 0; i < kOpenTries && !(opened = ::OpenClipboard(owner) != FALSE); ++i) ::Sleep(kOpenRetryMs);
  if (!opened) {
    ::GlobalFree(memory);
    return false;
  }
  ::EmptyClipboard();
  // Once set, the memory belongs to the system.
  const bool placed = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
  ::CloseClipboard();
  if (!placed) ::GlobalFree(memory);
  return placed;
}

}  // namespace pw
