#include "app/about_dialog.h"

const std::array<pw::MessageEntry<CAboutDlg>, 1>& CAboutDlg::message_table() noexcept {
  static const std::array<pw::MessageEntry<CAboutDlg>, 1> table = {
      pw::on_click<&CAboutDlg::on_ok>(IDOK),
  };
  return table;
}

pw::Reply CAboutDlg::on_ok() noexcept {
  end_dialog(IDOK);
  return pw::Reply::with(0);
}
