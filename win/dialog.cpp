#include "win/dialog.h"

#include "win/message_box.h"
#include "win/wide_text.h"

namespace pw {

INT_PTR DialogBase::run_modal(HWND parent) noexcept {
  // A Unicode window, so every language's texts reach its controls unchanged.
  return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(template_id_), parent,
                           &DialogBase::dialog_proc, reinterpret_cast<LPARAM>(this));
}

void DialogBase::end_dialog(INT_PTR result) noexcept { ::EndDialog(hwnd_, result); }

void DialogBase::set_item_text(int id, const std::string& text) const {
  ::SetDlgItemTextW(hwnd_, id, widen(text).c_str());
}

void DialogBase::set_item_text(int id, const char* text) const { set_item_text(id, std::string(text)); }

void DialogBase::set_caption(const std::string& text) const { ::SetWindowTextW(hwnd_, widen(text).c_str()); }

void DialogBase::enable_item(int id, bool enable) const noexcept { ::EnableWindow(item(id), enable ? TRUE : FALSE); }


int DialogBase::message_box(const std::string& text, UINT style, HWND* opened) const noexcept {
  return show_message_box(hwnd_, text.c_str(), style, opened);
}

INT_PTR CALLBACK DialogBase::dialog_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) noexcept {
  DialogBase* self = nullptr;
  if (msg == WM_INITDIALOG) {
    self = reinterpret_cast<DialogBase*>(lp);
    self->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<DialogBase*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (!self) return FALSE;

  if (self->colors_) {
    switch (msg) {
      case WM_CTLCOLORDLG:
      case WM_CTLCOLORSTATIC:
      case WM_CTLCOLORBTN:
        if (const HBRUSH brush = self->colors_->control_color(reinterpret_cast<HDC>(wp)))
          return reinterpret_cast<INT_PTR>(brush);
        break;
      case WM_SETTINGCHANGE:
      case WM_SYSCOLORCHANGE:
      case WM_THEMECHANGED:
        self->colors_->system_colors_changed(hwnd);  // the message table may hear it too
        break;
      default:
        break;
    }
  }

  const Reply reply = self->dispatch(msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    self->hwnd_ = nullptr;
  }
  if (!reply.handled) {
    // The system's own handling; a cancel click ends the dialog as usual.
    if (msg == WM_COMMAND && LOWORD(wp) == IDCANCEL && HIWORD(wp) == BN_CLICKED) {
      ::EndDialog(hwnd, IDCANCEL);
      return TRUE;
    }
    return FALSE;
  }
  switch (msg) {
    // These messages return their result directly from a dialog procedure.
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
      return reply.value;
    default:
      ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, reply.value);
      return TRUE;
  }
}

}  // namespace pw
