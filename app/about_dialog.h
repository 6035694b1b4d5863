#pragma once
#include <array>

#include "resources/resource.h"
#include "ui/dialog_look.h"
#include "win/dialog.h"

// The About box, in the main window's look; its OK button closes it.
class CAboutDlg : public pw::Dialog<CAboutDlg> {
 public:
  CAboutDlg() noexcept : Dialog(IDD_ABOUTBOX) {}
  static const std::array<pw::MessageEntry<CAboutDlg>, 2>& message_table() noexcept;

 private:
  pw::Reply on_init_dialog() noexcept;
  pw::Reply on_ok() noexcept;

  pw::DialogLook look_;
};
