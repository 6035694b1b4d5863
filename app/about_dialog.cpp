#include "app/about_dialog.h"

const std::array<pw::MessageEntry<CAboutDlg>, 2>& CAboutDlg::message_table() noexcept {
  static const std::array<pw::MessageEntry<CAboutDlg>, 2> table = {
      pw::on_message<&CAboutDlg::on_init_dialog>(WM_INITDIALOG),
      pw::on_click<&CAboutDlg::on_ok>(IDOK),
  };
  return table;
}

pw::Reply CAboutDlg::on_init_dialog() noexcept {
  paint_with(&look_);
  look_.apply(hwnd());
  return pw::Reply::with(FALSE);  // the focus where the system leaves it, as before
}

pw::Reply CAboutDlg::on_ok() noexcept {
  end_dialog(IDOK);
  return pw::Reply::with(0);
}
