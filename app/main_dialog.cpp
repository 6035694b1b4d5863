#include "app/main_dialog.h"

#include "app/about_dialog.h"
#include "app/process_end.h"
#include "app/single_instance.h"
#include "device/identification.h"
#include "device/presence_monitor.h"
#include "lang/lang_text.h"
#include "update/transfer_worker_win.h"
#include "update/update_sequence.h"
#include "win/handles.h"
#include "win/message_box.h"
#include "win/message_loop.h"
#include "win/wide_text.h"

namespace {

// Colours of the bar (0x00BBGGRR).
constexpr COLORREF kBarStartColor = 0x808000;
constexpr COLORREF kBarEndColor = 0x800000;
constexpr COLORREF kBarTextColor = 0x008000;
constexpr UINT kFirstPollMs = 100;
constexpr UINT kUpdateBoxWatchMs = 100;
// From the transfer worker: the bar's new position, handled on the window thread.
constexpr UINT kProgressMessage = WM_APP + 1;

struct ControlText {
  int control;
  pw::TextKey text;
};
constexpr ControlText kInitialTexts[] = {
    {IDC_UPDATE_BUTTON, pw::text::kUpdateButton}, {IDCANCEL, pw::text::kCancelButton},
    {IDC_LINK_STATUS, pw::text::kNotLinked},      {IDC_GROUP_CAPTION, pw::text::kGroupCaption},
    {IDC_INFO_VERSION, pw::text::kVersionLabel},  {IDC_INFO_DATE, pw::text::kDateLabel},
    {IDC_INFO_LANGUAGE, pw::text::kLanguageLabel},
};

}  // namespace

CPushwellDlg::CPushwellDlg() noexcept : Dialog(IDD_PUSHWELL_DIALOG) {
  icon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

CPushwellDlg::~CPushwellDlg() = default;

const std::array<pw::MessageEntry<CPushwellDlg>, 11>& CPushwellDlg::message_table() noexcept {
  static const std::array<pw::MessageEntry<CPushwellDlg>, 11> table = {
      pw::on_message<&CPushwellDlg::on_init_dialog>(WM_INITDIALOG),
      pw::on_sys_command<&CPushwellDlg::on_about>(IDM_ABOUTBOX),
      pw::on_paint<&CPushwellDlg::on_paint>(),
      pw::on_message<&CPushwellDlg::on_query_drag_icon>(WM_QUERYDRAGICON),
      pw::on_timer<&CPushwellDlg::on_timer>(),
      pw::on_click<&CPushwellDlg::on_update_clicked>(IDC_UPDATE_BUTTON),
      pw::on_click<&CPushwellDlg::on_cancel_clicked>(IDCANCEL),
      pw::on_message<&CPushwellDlg::on_destroy>(WM_DESTROY),
      pw::on_value_message<&CPushwellDlg::on_progress>(kProgressMessage),
      pw::on_message<&CPushwellDlg::on_query_end_session>(WM_QUERYENDSESSION),
      pw::on_message<&CPushwellDlg::on_end_session>(WM_ENDSESSION),
  };
  return table;
}

pw::Reply CPushwellDlg::on_init_dialog() noexcept {
  progress.attach(hwnd(), IDC_PROGRESS);  // from now on the bar paints control 1003
  system_.attach(hwnd());
  ::SetPropW(hwnd(), pw::kMainWindowMark, reinterpret_cast<HANDLE>(1));

  if (HMENU menu = ::GetSystemMenu(hwnd(), FALSE)) {
    char about[MAX_PATH] = {};
    if (::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, sizeof about) > 0 && about[0]) {
      ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about);
    }
  }

  session_.installer_started = false;
  session_.update_started = false;
  pw::clear_identified_flag();

  ::SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  ::SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

  try {
    apply_language_font();
    set_caption(pw::LangText(pw::text::kWindowCaption));
    for (const ControlText& t : kInitialTexts) set_text(t.control, pw::LangText(t.text));
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }

  reset_progress();
  set_poll_period(kFirstPollMs);
  return pw::Reply::with(TRUE);  // let the system set the default focus
}

pw::Reply CPushwellDlg::on_about() noexcept {
  if (session_.command_running) return pw::Reply::with(0);  // also when another program sends it
  CAboutDlg about;
  about.run_modal(hwnd());
  return pw::Reply::with(0);
}

pw::Reply CPushwellDlg::on_paint(HDC) noexcept {
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

pw::Reply CPushwellDlg::on_query_drag_icon() noexcept { return pw::Reply::with(reinterpret_cast<INT_PTR>(icon)); }

pw::Reply CPushwellDlg::on_timer(UINT_PTR id) noexcept {
  try {
    switch (id) {
      case kPresenceTimer: act_on(pw::poll_device_presence(session_, *this)); break;
      case kPresenceRecheckTimer:
        ::KillTimer(hwnd(), kPresenceRecheckTimer);
        act_on(pw::poll_device_presence(session_, *this, pw::PresenceCheck::recheck));
        break;
      case kUpdateBoxWatchTimer: close_update_box_once_transfer_ended(); break;
      default: return pw::Reply::unhandled();
    }
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
  return pw::Reply::with(0);
}

pw::Reply CPushwellDlg::on_update_clicked() noexcept {
  if (session_.command_running) return pw::Reply::with(0);
  session_.command_running = true;
  session_.out_of_memory = false;
  enable_about(false);
  pw::Outcome outcome = pw::Outcome::command_ended;
  try {
    platform_.command_started(pw::LangText(pw::text::kShutdownReason));
    outcome = pw::run_update_command(session_, *this);
  } catch (const std::bad_alloc&) {
    session_.out_of_memory = true;  // the command ends here
  }
  session_.ending_box_open = false;
  session_.command_running = false;
  if (session_.out_of_memory && outcome != pw::Outcome::end_process) {
    session_.out_of_memory = false;
    pw::discard_queued_input();
    pw::show_out_of_memory_box(hwnd());
  }
  platform_.command_ended();
  // Clicks and keys made while the window was frozen must not start anything now.
  pw::discard_queued_input();
  enable_about(true);
  act_on(outcome);
  return pw::Reply::with(0);
}

void CPushwellDlg::out_of_memory() noexcept {
  if (session_.command_running) {
    session_.out_of_memory = true;  // the command says so once its transfer has ended
    return;
  }
  pw::discard_queued_input();
  pw::show_out_of_memory_box(hwnd());
}

void CPushwellDlg::enable_about(bool enable) noexcept {
  if (HMENU menu = ::GetSystemMenu(hwnd(), FALSE))
    ::EnableMenuItem(menu, IDM_ABOUTBOX, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
}

pw::Reply CPushwellDlg::on_cancel_clicked() noexcept {
  // Cancel, the close box, Alt+F4 and the system menu's Close all arrive here.
  if (session_.command_running) {
    try {
      refuse_close();
    } catch (const std::bad_alloc&) {
      out_of_memory();
    }
  } else {
    end_dialog(IDCANCEL);
  }
  return pw::Reply::with(0);
}

void CPushwellDlg::refuse_close() {
  if (boxes_open_ > 0) return;  // one box at a time; the open one has the user's attention
  const std::string text = pw::LangText(pw::text::kUpdateInProgress);
  update_box_open_ = true;
  update_box_transfer_ = session_.running_worker;
  set_timer(kUpdateBoxWatchTimer, kUpdateBoxWatchMs);
  show_box(text, pw::kBoxOk, &update_box_);
  ::KillTimer(hwnd(), kUpdateBoxWatchTimer);
  update_box_open_ = false;
  update_box_ = nullptr;
  update_box_transfer_ = nullptr;
}

void CPushwellDlg::close_update_box_once_transfer_ended() noexcept {
  if (!update_box_open_ || update_box_ == nullptr) return;
  const pw::TransferWorker* opened_during = update_box_transfer_;
  const bool ended = opened_during == nullptr || session_.running_worker != opened_during || opened_during->done();
  if (!ended) return;
  // The update waits under the box; it must not wait for the user. Found by its
  // window, so a translation that leaves the text empty closes it too.
  if (::IsWindow(update_box_)) ::SendMessageW(update_box_, WM_COMMAND, IDOK, 0);
}

pw::Reply CPushwellDlg::on_destroy() noexcept {
  ::RemovePropW(hwnd(), pw::kMainWindowMark);
  ::KillTimer(hwnd(), kPresenceTimer);
  progress.detach();
  system_.detach();
  return pw::Reply::unhandled();
}

pw::Reply CPushwellDlg::on_progress(int position) noexcept {
  progress.SetPos(position);
  platform_.progress(position);
  return pw::Reply::with(0);
}

// A log-off, restart or shutdown in the middle of a flash would leave the device
// half written: it waits while a command runs.
pw::Reply CPushwellDlg::on_query_end_session() noexcept {
  return pw::Reply::with(platform_.session_may_end() ? TRUE : FALSE);
}

pw::Reply CPushwellDlg::on_end_session() noexcept { return pw::Reply::with(0); }

namespace {

int CALLBACK note_face_found(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool font_installed(HDC dc, const std::wstring& face) {
  LOGFONTW wanted{};
  wanted.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(wanted.lfFaceName, face.c_str(), LF_FACESIZE);
  bool found = false;
  ::EnumFontFamiliesExW(dc, &wanted, &note_face_found, reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

BOOL CALLBACK set_child_font(HWND child, LPARAM font) {
  ::SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
  return TRUE;
}

}  // namespace

void CPushwellDlg::apply_language_font() noexcept {
  constexpr int kTemplatePoints = 10;  // the template's size and weight stay
  const std::wstring faces = pw::widen(pw::LangText(pw::text::kDialogFont));
  if (faces.empty()) return;
  const HDC dc = ::GetDC(hwnd());
  std::wstring chosen;
  for (std::size_t start = 0; start <= faces.size() && chosen.empty();) {
    std::size_t end = faces.find(L',', start);
    if (end == std::wstring::npos) end = faces.size();
    std::wstring face = faces.substr(start, end - start);
    while (!face.empty() && face.front() == L' ') face.erase(face.begin());
    while (!face.empty() && face.back() == L' ') face.pop_back();
    if (!face.empty() && face.size() < LF_FACESIZE && font_installed(dc, face)) chosen = face;
    start = end + 1;
  }
  const int height = -::MulDiv(kTemplatePoints, ::GetDeviceCaps(dc, LOGPIXELSY), 72);
  ::ReleaseDC(hwnd(), dc);
  if (chosen.empty()) return;
  language_font_.reset(::CreateFontW(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                     DEFAULT_PITCH | FF_DONTCARE, chosen.c_str()));
  if (!language_font_) return;
  ::EnumChildWindows(hwnd(), &set_child_font, reinterpret_cast<LPARAM>(language_font_.get()));
}

void CPushwellDlg::act_on(pw::Outcome outcome) noexcept {
  if (outcome == pw::Outcome::end_process) pw::end_process(session_);
}

void CPushwellDlg::set_text(int control, const std::string& text) { set_item_text(control, text); }

void CPushwellDlg::enable_control(int control, bool enable) noexcept { enable_item(control, enable); }

void CPushwellDlg::set_progress(int position) noexcept {
  ::SendMessageA(hwnd(), kProgressMessage, static_cast<WPARAM>(position), 0);
}

void CPushwellDlg::mark_transfer_failed() noexcept { platform_.transfer_failed(); }

void CPushwellDlg::set_poll_period(unsigned period_ms) noexcept { set_timer(kPresenceTimer, period_ms); }

void CPushwellDlg::schedule_presence_recheck(unsigned delay_ms) noexcept {
  set_timer(kPresenceRecheckTimer, delay_ms);
}

int CPushwellDlg::show_box(const std::string& text, unsigned style) noexcept { return show_box(text, style, nullptr); }

int CPushwellDlg::show_box(const std::string& text, unsigned style, HWND* opened) noexcept {
  // Input made while the window served no messages would answer the box unseen.
  pw::discard_queued_input();
  platform_.box_opening();
  ++boxes_open_;
  const int answer = message_box(text, style, opened);
  --boxes_open_;
  return answer;
}

void CPushwellDlg::reset_progress() noexcept {
  progress.SetRange(0, 100);
  progress.SetPos(0);
  progress.ShowPercent(TRUE);
  progress.SetStartColor(kBarStartColor);
  progress.SetEndColor(kBarEndColor);
  progress.SetPercentTextColor(kBarTextColor);
}
