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

namespace {

// Reports the first dialog window this thread creates while a box opens.
thread_local HWND* t_box_opened = nullptr;
thread_local HHOOK t_box_hook = nullptr;

LRESULT CALLBACK note_box_window(int code, WPARAM wp, LPARAM lp) noexcept {
  const HHOOK hook = t_box_hook;
  if (code == HCBT_CREATEWND && t_box_opened != nullptr) {
    wchar_t class_name[16] = {};
    ::GetClassNameW(reinterpret_cast<HWND>(wp), class_name, 16);
    if (lstrcmpW(class_name, L"#32770") == 0) {
      *t_box_opened = reinterpret_cast<HWND>(wp);
      t_box_opened = nullptr;
      ::UnhookWindowsHookEx(hook);
      t_box_hook = nullptr;
    }
  }
  return ::CallNextHookEx(hook, code, wp, lp);
}

// Watches for the box's window while one box opens on this thread.
class BoxWatch {
 public:
  explicit BoxWatch(HWND* opened) noexcept {
    if (opened == nullptr || t_box_hook != nullptr) return;
    *opened = nullptr;
    t_box_opened = opened;
    t_box_hook = ::SetWindowsHookExW(WH_CBT, &note_box_window, nullptr, ::GetCurrentThreadId());
    if (t_box_hook == nullptr) t_box_opened = nullptr;
  }
  ~BoxWatch() {
    if (t_box_hook != nullptr) ::UnhookWindowsHookEx(t_box_hook);
    t_box_hook = nullptr;
    t_box_opened = nullptr;
  }
  BoxWatch(const BoxWatch&) = delete;
  BoxWatch& operator=(const BoxWatch&) = delete;
};

}  // namespace

int show_message_box(HWND owner, const char* text, UINT style, HWND* opened) noexcept {
  BoxWatch watch(opened);
  try {
    return ::MessageBoxW(owner, widen(text).c_str(), widen(application_name()).c_str(), message_box_flags(style));
  } catch (const std::bad_alloc&) {
    return ::MessageBoxA(owner, text, nullptr, message_box_flags(style));  // no room to convert: as it stands
  }
}

void show_out_of_memory_box(HWND owner, const char* text) noexcept {
  // The caption from the executable's name, in a buffer of its own.
  char path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  char* name = path;
  if (n > 0 && n < MAX_PATH) {
    char* dot = nullptr;
    for (char* p = path; *p; ++p) {
      if (*p == '\\' || *p == '/') {
        name = p + 1;
        dot = nullptr;
      }
      if (*p == '.') dot = p;
    }
    if (dot != nullptr) *dot = '\0';
  }
  ::MessageBoxA(owner, text, name, message_box_flags(kBoxOk));
}

}  // namespace pw
