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

// A dialog that paints its own background and texts, and follows the system's
// colour settings while it runs.
class DialogColors {
 public:
  // WM_CTLCOLORDLG, WM_CTLCOLORSTATIC and WM_CTLCOLORBTN: the brush to paint with,
  // the text colours set on `dc`; nullptr leaves them to the system.
  virtual HBRUSH control_color(HDC dc) noexcept = 0;
  // WM_SETTINGCHANGE, WM_SYSCOLORCHANGE or WM_THEMECHANGED reached `dialog`.
  virtual void system_colors_changed(HWND dialog) noexcept = 0;

 protected:
  ~DialogColors() = default;
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
  // These convert the text, so they may throw std::bad_alloc.
  void set_item_text(int id, const std::string& text) const;
  void set_item_text(int id, const char* text) const;
  void set_caption(const std::string& text) const;
  void enable_item(int id, bool enable) const noexcept;
  // A modal message box owned by this dialog; see message_box.h for the styles
  // and `opened`.
  int message_box(const std::string& text, UINT style, HWND* opened = nullptr) const noexcept;
  // From now on `colors` (which outlives the window) paints the dialog's background
  // and texts and hears the system's colour changes, before the message table does.
  void paint_with(DialogColors* colors) noexcept { colors_ = colors; }

 protected:
  explicit DialogBase(int template_id) noexcept : template_id_(template_id) {}
  virtual ~DialogBase() = default;
  // Routes one message through the derived class's table.
  virtual Reply dispatch(UINT msg, WPARAM wp, LPARAM lp) noexcept = 0;

 private:
  static INT_PTR CALLBACK dialog_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) noexcept;
  int template_id_;
  HWND hwnd_ = nullptr;
  DialogColors* colors_ = nullptr;
};

// A message table entry: a window message, a button click (WM_COMMAND with
// BN_CLICKED and the control id) or a system command (id masked with 0xFFF0).
// `call` unpacks the message's arguments and hands them to the handler typed,
// the way WTL's message crackers do.
template <class T>
struct MessageEntry {
  enum class Kind { message, click, sys_command };
  Kind kind;
  UINT code;
  Reply (*call)(T& window, WPARAM wp, LPARAM lp) noexcept;
};

namespace detail {
template <class>
struct HandlerOf;
template <class C, class... Args>
struct HandlerOf<Reply (C::*)(Args...) noexcept> {
  using Window = C;
};
template <auto H>
using WindowOf = typename HandlerOf<decltype(H)>::Window;
}  // namespace detail

// A message whose handler takes no arguments (init, destroy, close, query drag icon).
template <auto H>
constexpr MessageEntry<detail::WindowOf<H>> on_message(UINT msg) {
  using T = detail::WindowOf<H>;
  return {MessageEntry<T>::Kind::message, msg, [](T& w, WPARAM, LPARAM) noexcept { return (w.*H)(); }};
}
// A click on control `id`.
template <auto H>
constexpr MessageEntry<detail::WindowOf<H>> on_click(UINT id) {
  using T = detail::WindowOf<H>;
  return {MessageEntry<T>::Kind::click, id, [](T& w, WPARAM, LPARAM) noexcept { return (w.*H)(); }};
}
// System command `id` (compared after masking with 0xFFF0).
template <auto H>
constexpr MessageEntry<detail::WindowOf<H>> on_sys_command(UINT id) {
  using T = detail::WindowOf<H>;
  return {MessageEntry<T>::Kind::sys_command, id, [](T& w, WPARAM, LPARAM) noexcept { return (w.*H)(); }};
}
// WM_TIMER: the handler gets the timer's id.
template <auto H>
constexpr MessageEntry<detail::WindowOf<H>> on_timer() {
  using T = detail::WindowOf<H>;
  return {MessageEntry<T>::Kind::message, WM_TIMER,
          [](T& w, WPARAM wp, LPARAM) noexcept { return (w.*H)(static_cast<UINT_PTR>(wp)); }};
}
// A message whose handler takes its first parameter as it came.
template <auto H>
constexpr MessageEntry<detail::WindowOf<H>> on_wparam_message(UINT msg) {
  using T = detail::WindowOf<H>;
  return {MessageEntry<T>::Kind::message, msg, [](T& w, WPARAM wp, LPARAM) noexcept { return (w.*H)(wp); }};
}
// WM_PAINT: the handler gets the context passed with the message (usually none).
template <auto H>
constexpr MessageEntry<detail::WindowOf<H>> on_paint() {
  using T = detail::WindowOf<H>;
  return {MessageEntry<T>::Kind::message, WM_PAINT,
          [](T& w, WPARAM wp, LPARAM) noexcept { return (w.*H)(reinterpret_cast<HDC>(wp)); }};
}

// Routes one message through `T::message_table()` (a std::array, or any range,
// of MessageEntry<T>) to `window`'s handler; unhandled when no entry matches.
template <class T>
Reply route_message(T& window, UINT msg, WPARAM wp, LPARAM lp) noexcept {
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
    if (match) return e.call(window, wp, lp);
  }
  return Reply::unhandled();
}

// Derive as `class X : public Dialog<X>` and give X a static `message_table()`.
template <class T>
class Dialog : public DialogBase {
 protected:
  using DialogBase::DialogBase;
  Reply dispatch(UINT msg, WPARAM wp, LPARAM lp) noexcept override {
    return route_message(*static_cast<T*>(this), msg, wp, lp);
  }
};

}  // namespace pw
