#include "win/message_box.h"

#include "win/module_path.h"
#include "win/wide_text.h"

namespace pw {

UINT message_box_flags(UINT style) noexcept {
  UINT flags = MB_OK;
  if (style & MB_ICONMASK)
    flags |= (style & MB_ICONMASK);
  else
    flags |= MB_ICONEXCLAMATION;  // every OK box without an icon of its own gets this one
  return flags;
}

std::string application_name() {
  const std::string path = executable_path();
  std::string::size_type slash = path.find_last_of("\\/");
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  std::string::size_type dot = name.find_last_of('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

int show_message_box(HWND owner, const char* text, UINT style) noexcept {
  try {
    return ::MessageBoxW(owner, widen(text).c_str(), widen(application_name()).c_str(), message_box_flags(style));
  } catch (const std::bad_alloc&) {
    return ::MessageBoxA(owner, text, nullptr, message_box_flags(style));  // no room to convert: as it stands
  }
}

}  // namespace pw

namespace pw {

namespace {
struct BoxSearch {
  HWND owner;
  const std::string* text;
  HWND found;
};

BOOL CALLBACK match_box(HWND window, LPARAM param) noexcept {
  auto& search = *reinterpret_cast<BoxSearch*>(param);
  wchar_t class_name[16] = {};
  ::GetClassNameW(window, class_name, 16);
  if (lstrcmpW(class_name, L"#32770") != 0 || ::GetWindow(window, GW_OWNER) != search.owner) return TRUE;
  constexpr int kBoxTextId = 0xFFFF;  // the static control that holds a message box's text
  const HWND label = ::GetDlgItem(window, kBoxTextId);
  const int length = label ? ::GetWindowTextLengthW(label) : 0;
  if (length <= 0) return TRUE;
  std::wstring shown(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = ::GetWindowTextW(label, &shown[0], length + 1);
  if (got <= 0 || narrow(shown.data(), static_cast<std::size_t>(got)) != *search.text) return TRUE;
  search.found = window;
  return FALSE;
}
}  // namespace

HWND find_open_box(HWND owner, const std::string& text) noexcept {
  BoxSearch search{owner, &text, nullptr};
  ::EnumThreadWindows(::GetCurrentThreadId(), &match_box, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace pw
