#include "win/message_box.h"

#include "win/module_path.h"

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
    const std::string caption = application_name();
    return ::MessageBoxA(owner, text, caption.c_str(), message_box_flags(style));
  } catch (...) {
    return ::MessageBoxA(owner, text, nullptr, message_box_flags(style));
  }
}

}  // namespace pw
