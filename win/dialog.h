#pragma once
// Modal dialog base with a per-class message table, in the spirit of WTL's
// message maps. Handlers are noexcept: no exception crosses the dialog procedure.
#include <windows.h>

#include <cstddef>
#include <string>

namespace pw {

// What a handler answers. `handled == false` asks for the default handling.
struct Reply {
  bool handled = true;
  INT_PTR value = 0;
  static Reply unhandled() noexcept { return Reply{false, 0}; }
  static Reply with(INT_PTR v) noexcept { return Reply{true, v}; }
};

class DialogBase {
 public:
  DialogBase(const DialogBase&) = delete;
  DialogBase& operator=(const DialogBase&) = delete;

  // Runs the dialog modally from its template; returns the EndDialog result (-1 on failure).
  INT_PTR run_modal(HWND parent = nullptr) noexcept;
  void end_dialog(INT_PTR result) noexcept;

  HWND hwnd() const noexcept { return hwnd_; }
  HWND item(int id) const noexcept { return ::GetDlgItem(hwnd_, id); }
  void set_item_text(int id, const std::string& text) const noexcept;
  void set_item_text(int id, const char* text) const noexcept;
  void enable_item(int id, bool enable) const noexcept;
  // Sets timer `id` with a new period, replacing a running one with the same id.
  void set_timer(UINT_PTR id, UINT period_ms) const noexcept;
  // A modal message box owned by this dialog; see message_box.h for the styles.
  int message_box(const std::string& text, UINT style) const noexcept;

 protected:
  explicit DialogBase(int template_id) noexcept : template_id_(template_id) {}
  virtual ~DialogBase() = default;
  // Routes one message through the derived class's table.
  virtual Reply dispatch(UINT msg, WPARAM wp, LPARAM lp) noexcept = 0;

 private:
  static INT_PTR CALLBACK dialog_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) noexcept;
  int template_id_;
  HWND hwnd_ = nullptr;
};

// A message table entry: a window message, a button click (WM_COMMAND with
// BN_CLICKED and the control id) or a system command (id masked with 0xFFF0).
template <class T>
struct MessageEntry {
  enum class Kind { message, click, sys_command };
  Kind kind;
  UINT code;
  Reply (T::*handler)(WPARAM, LPARAM) noexcept;
};

template <class T>
constexpr MessageEntry<T> on_message(UINT msg, Reply (T::*h)(WPARAM, LPARAM) noexcept) {
  return {MessageEntry<T>::Kind::message, msg, h};
}
template <class T>
constexpr MessageEntry<T> on_click(UINT id, Reply (T::*h)(WPARAM, LPARAM) noexcept) {
  return {MessageEntry<T>::Kind::click, id, h};
}
template <class T>
constexpr MessageEntry<T> on_sys_command(UINT id, Reply (T::*h)(WPARAM, LPARAM) noexcept) {
  return {MessageEntry<T>::Kind::sys_command, id, h};
}

// Derive as `class X : public Dialog<X>` and give X a static `message_table()`
// returning a reference to a std::array (or any range) of MessageEntry<X>.
template <class T>
class Dialog : public DialogBase {
 protected:
  using DialogBase::DialogBase;
  Reply dispatch(UINT msg, WPARAM wp, LPARAM lp) noexcept override {
    for (const MessageEntry<T>& e : T::message_table()) {
      bool match = false;
      switch (e.kind) {
        case MessageEntry<T>::Kind::message: match = (msg == e.code); break;
        case MessageEntry<T>::Kind::click:
          match = (msg == WM_COMMAND && HIWORD(wp) == BN_CLICKED && LOWORD(wp) == e.code);
          break;
        case MessageEntry<T>::Kind::sys_command:
          match = (msg == WM_SYSCOMMAND && (wp & 0xFFF0) == e.code);
          break;
      }
      if (match) return (static_cast<T*>(this)->*e.handler)(wp, lp);
    }
    return Reply::unhandled();
  }
};

}  // namespace pw
