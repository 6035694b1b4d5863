#pragma once
#include <array>

#include "resources/resource.h"
#include "win/dialog.h"

// The About box; its OK button closes it.
class CAboutDlg : public pw::Dialog<CAboutDlg> {
 public:
  CAboutDlg() noexcept : Dialog(IDD_ABOUTBOX) {}
  static const std::array<pw::MessageEntry<CAboutDlg>, 1>& message_table() noexcept;

 private:
  pw::Reply on_ok() noexcept;
};
