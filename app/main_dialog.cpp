#include "app/main_dialog.h"

#include <cstdlib>

#include "device/identification.h"
#include "device/presence_monitor.h"
#include "lang/builtin_texts.h"
#include "lang/lang_text.h"
#include "update/transfer_worker_win.h"
#include "update/update_sequence.h"
#include "app/about_dialog.h"
#include "win/handles.h"

namespace {

// Colours of the bar (0x00BBGGRR).
constexpr COLORREF kBarStartColor = 0x808000;
constexpr COLORREF kBarEndColor = 0x800000;
constexpr COLORREF kBarTextColor = 0x008000;

// How long the process waits for a cancelled transfer to wind down before it exits.
constexpr DWORD kWorkerShutdownMs = 3000;

struct ControlText {
  int control;
  const char* section;
  int key;
};
constexpr ControlText kInitialTexts[] = {
    {IDC_UPDATE_BUTTON, "control", 1002}, {IDCANCEL, "control", 1001},        {IDC_LINK_STATUS, "message", 1025},
    {IDC_GROUP_CAPTION, "control", 1004}, {IDC_INFO_VERSION, "info", 1037},   {IDC_INFO_DATE, "info", 1038},
    {IDC_INFO_LANGUAGE, "info", 1039},
};

}  // namespace

CPushwellDlg::CPushwellDlg() noexcept : Dialog(IDD_PUSHWELL_DIALOG) {
  icon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

CPushwellDlg::~CPushwellDlg() = default;

const std::array<pw::MessageEntry<CPushwellDlg>, 8>& CPushwellDlg::message_table() noexcept {
  static const std::array<pw::MessageEntry<CPushwellDlg>, 8> table = {
      pw::on_message(WM_INITDIALOG, &CPushwellDlg::on_init_dialog),
      pw::on_sys_command(IDM_ABOUTBOX, &CPushwellDlg::on_sys_command_about),
      pw::on_message(WM_PAINT, &CPushwellDlg::on_paint),
      pw::on_message(WM_QUERYDRAGICON, &CPushwellDlg::on_query_drag_icon),
      pw::on_message(WM_TIMER, &CPushwellDlg::on_timer),
      pw::on_click(IDC_UPDATE_BUTTON, &CPushwellDlg::on_update_clicked),
      pw::on_click(IDCANCEL, &CPushwellDlg::on_cancel_clicked),
      pw::on_message(WM_DESTROY, &CPushwellDlg::on_destroy),
  };
  return table;
}

pw::Reply CPushwellDlg::on_init_dialog(WPARAM, LPARAM) noexcept {
  push_to_controls();

  if (HMENU menu = ::GetSystemMenu(hwnd(), FALSE)) {
    char about[MAX_PATH] = {};
    if (::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, sizeof about) > 0 && about[0]) {
      ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about);
    }
  }

  installer_started = false;
  update_started = false;
  pw::clear_identified_flag();

  ::SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  ::SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

  ::SetWindowTextA(hwnd(), pw::LangText("title", 100).c_str());
  for (const ControlText& t : kInitialTexts) set_item_text(t.control, pw::LangText(t.section, t.key));

  configure_progress();

  set_timer(kPresenceTimer, 100);
  return pw::Reply::with(TRUE);  // let the system set the default focus
}

pw::Reply CPushwellDlg::on_sys_command_about(WPARAM, LPARAM) noexcept {
  CAboutDlg about;
  about.run_modal(hwnd());
  return pw::Reply::with(0);
}

pw::Reply CPushwellDlg::on_paint(WPARAM, LPARAM) noexcept {
  if (!::IsIconic(hwnd())) return pw::Reply::unhandled();
  pw::PaintContext paint(hwnd());
  ::SendMessageA(hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(paint.dc()), 0);
  RECT client{};
  ::GetClientRect(hwnd(), &client);
  const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
  ::DrawIcon(paint.dc(), x, y, icon);
  return pw::Reply::with(0);
}

pw::Reply CPushwellDlg::on_query_drag_icon(WPARAM, LPARAM) noexcept {
  return pw::Reply::with(reinterpret_cast<INT_PTR>(icon));
}

pw::Reply CPushwellDlg::on_timer(WPARAM id, LPARAM) noexcept {
  if (id != kPresenceTimer) return pw::Reply::unhandled();
  return pw::poll_device_presence(*this) ? pw::Reply::unhandled() : pw::Reply::with(0);
}

pw::Reply CPushwellDlg::on_update_clicked(WPARAM, LPARAM) noexcept {
  if (command_running) return pw::Reply::with(0);
  command_running = true;
  try {
    pw::run_update_command(*this);
  } catch (...) {
    // Out of memory for a text or a path: the command ends, the window stays.
  }
  command_running = false;
  return pw::Reply::with(0);
}

pw::Reply CPushwellDlg::on_cancel_clicked(WPARAM, LPARAM) noexcept {
  end_dialog(IDCANCEL);
  return pw::Reply::with(0);
}

pw::Reply CPushwellDlg::on_destroy(WPARAM, LPARAM) noexcept {
  ::KillTimer(hwnd(), kPresenceTimer);
  progress.detach();
  return pw::Reply::unhandled();
}

void CPushwellDlg::push_to_controls() noexcept { progress.attach(hwnd(), IDC_PROGRESS); }

void CPushwellDlg::reset_progress_and_texts() noexcept {
  configure_progress();
  set_item_text(IDC_STEP_TEXT, "");
  set_item_text(IDC_RESULT_TEXT, "");
}

void CPushwellDlg::configure_progress() noexcept {
  progress.SetRange(0, 100);
  progress.SetPos(0);
  progress.ShowPercent(TRUE);
  progress.SetStartColor(kBarStartColor);
  progress.SetEndColor(kBarEndColor);
  progress.SetPercentTextColor(kBarTextColor);
}

void CPushwellDlg::end_process() noexcept {
  if (running_worker) {
    // Stop the transfer's pipe I/O and let the worker finish; it still sends its
    // window updates to this thread, so keep serving them meanwhile.
    pw::cancel_transfer_io();
    const ULONGLONG deadline = ::GetTickCount64() + kWorkerShutdownMs;
    HANDLE worker = running_worker;
    for (;;) {
      const ULONGLONG now = ::GetTickCount64();
      if (now >= deadline) break;
      const DWORD r = ::MsgWaitForMultipleObjectsEx(1, &worker, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                                    MWMO_INPUTAVAILABLE);
      if (r == WAIT_OBJECT_0) break;
      MSG msg;
      while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
      }
    }
  }
  std::exit(0);
}

void CPushwellDlg::disable_update_button() { enable_item(IDC_UPDATE_BUTTON, false); }

void CPushwellDlg::set_progress(int position) { progress.SetPos(position); }

void CPushwellDlg::set_result_text(bool succeeded) {
  set_item_text(IDC_RESULT_TEXT, pw::message_text(succeeded ? 1030 : pw::kMsgTransferFailedResult));
}

void CPushwellDlg::release(std::uint8_t* file_buffer, void* out_pipe) {
  std::free(file_buffer);
  pw::UniqueHandle pipe(static_cast<HANDLE>(out_pipe));
}
