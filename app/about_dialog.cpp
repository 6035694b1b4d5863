#include "app/about_dialog.h"

const std::array<pw::MessageEntry<CAboutDlg>, 1>& CAboutDlg::message_table() noexcept {
  static const std::array<pw::MessageEntry<CAboutDlg>, 1> table = {
      pw::on_click(IDOK, &CAboutDlg::on_ok),
  };
  return table;
}

pw::Reply CAboutDlg::on_ok(WPARAM, LPARAM) noexcept {
  end_dialog(IDOK);
  return pw::Reply::with(0);
}
