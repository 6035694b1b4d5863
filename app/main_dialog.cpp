#include "app/main_dialog.h"

#include "app/about_dialog.h"
#include "host/single_instance.h"
#include <shellapi.h>

#include <commctrl.h>

#include "lang/lang_text.h"
#include "win/guard.h"
#include "update/update_plan.h"
#include "win/handles.h"
#include "win/message_box.h"
#include "win/module_path.h"
#include "win/copy_key.h"
#include "win/message_loop.h"
#include "win/wide_text.h"

namespace {

// To itself: the close-attempt box opened while no transfer ran closes at once.
constexpr UINT kCloseUpdateBoxMessage = WM_APP + 3;

constexpr unsigned box_style(pw::MessageStyle style) {
  switch (style) {
    case pw::MessageStyle::warning: break;
    case pw::MessageStyle::stop: return pw::kBoxStop;
    case pw::MessageStyle::question: return pw::kBoxQuestion;
  }
  return pw::kBoxOk;
}

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

// The texts that change while the user waits, each a live region.
constexpr int kLiveTexts[] = {IDC_LINK_STATUS, IDC_STEP_TEXT, IDC_RESULT_TEXT};

}  // namespace

CPushwellDlg::CPushwellDlg(pw::WorkflowHost& host) noexcept : Dialog(IDD_PUSHWELL_DIALOG), host_(host) {
  icon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

CPushwellDlg::~CPushwellDlg() = default;

const std::array<pw::MessageEntry<CPushwellDlg>, 9>& CPushwellDlg::message_table() noexcept {
  static const std::array<pw::MessageEntry<CPushwellDlg>, 9> table = {
      pw::on_message<&CPushwellDlg::on_init_dialog>(WM_INITDIALOG),
      pw::on_sys_command<&CPushwellDlg::on_about>(IDM_ABOUTBOX),
      pw::on_sys_command<&CPushwellDlg::on_copy_details>(IDM_COPY_DETAILS),
      pw::on_paint<&CPushwellDlg::on_paint>(),
      pw::on_message<&CPushwellDlg::on_query_drag_icon>(WM_QUERYDRAGICON),
      pw::on_click<&CPushwellDlg::on_update_clicked>(IDC_UPDATE_BUTTON),
      pw::on_click<&CPushwellDlg::on_cancel_clicked>(IDCANCEL),
      pw::on_message<&CPushwellDlg::on_destroy>(WM_DESTROY),
      pw::on_message<&CPushwellDlg::on_close_update_box>(kCloseUpdateBoxMessage),
  };
  return table;
}

pw::Reply CPushwellDlg::on_init_dialog() noexcept {
  progress.attach(hwnd(), IDC_PROGRESS);  // from now on the bar paints control 1003
  host_.listen(*this);
  ::SetPropW(hwnd(), pw::kMainWindowMark, reinterpret_cast<HANDLE>(1));

  if (HMENU menu = ::GetSystemMenu(hwnd(), FALSE)) {
    char about[MAX_PATH] = {};
    if (::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, sizeof about) > 0 && about[0]) {
      ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about);
    }
    try {
      ::AppendMenuW(menu, MF_STRING, IDM_COPY_DETAILS, pw::widen(pw::LangText(pw::text::kCopyDetails)).c_str());
    } catch (const std::bad_alloc&) {
      ::AppendMenuW(menu, MF_STRING, IDM_COPY_DETAILS, L"Copy details");
    }
  }

  ::SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  ::SendMessageA(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

  if (pw::ran_out_of_memory([&] {
        apply_language_font();
        set_caption(pw::LangText(pw::text::kWindowCaption));
        for (const ControlText& t : kInitialTexts) set_item_text(t.control, pw::LangText(t.text));
      }))
    out_of_memory();
  for (const int control : kLiveTexts) annotations_.set_live_setting(item(control), pw::LiveSetting::polite);
  // Named after the step it shows; without one, not after the text beside it.
  annotations_.set_name(item(IDC_PROGRESS), L"");

  paint_with(&look_);
  look_.on_change([this](const pw::Look& look) {
    progress.SetColors(look.bar);
    ::InvalidateRect(progress.hwnd(), nullptr, FALSE);
  });
  look_.apply(hwnd());
  reset_progress();
  host_.attach(hwnd());
  // Enter and the first key go to the update button, not to Cancel, the template's first.
  ::SendMessageW(hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item(IDC_UPDATE_BUTTON)), TRUE);
  return pw::Reply::with(FALSE);
}

pw::Reply CPushwellDlg::on_about() noexcept {
  if (host_.command_running()) return pw::Reply::with(0);  // also when another program sends it
  CAboutDlg about;
  about.run_modal(hwnd());
  return pw::Reply::with(0);
}

pw::Reply CPushwellDlg::on_copy_details() noexcept {
  static_cast<void>(pw::ran_out_of_memory([&] { pw::copy_details(hwnd(), host_.details().text()); }));
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

pw::Reply CPushwellDlg::on_update_clicked() noexcept {
  host_.start_update();
  return pw::Reply::with(0);
}

pw::Reply CPushwellDlg::on_close_update_box() noexcept {
  close_update_box();
  return pw::Reply::with(0);
}

void CPushwellDlg::command_begins() noexcept { enable_about(false); }

void CPushwellDlg::command_ended(pw::CommandEnd end, pw::CommandResult result) noexcept {
  close_update_box();
  // Clicks and keys made while the window was frozen must not start anything now.
  pw::discard_queued_input();
  if (result == pw::CommandResult::out_of_memory && end != pw::CommandEnd::process_ends) show_out_of_memory_box();
  // A thread may still be inside the driver: the updater has to be started again.
  if (result == pw::CommandResult::driver_held) disable_update_button();
  enable_about(true);
}

void CPushwellDlg::driver_not_answering() noexcept {
  if (pw::ran_out_of_memory([&] { set_text(IDC_LINK_STATUS, pw::LangText(pw::text::kDriverNotAnswering)); }))
    out_of_memory();
}

void CPushwellDlg::identification_done(const std::uint8_t*, std::size_t, bool, unsigned) noexcept {
  // Clicks and keys made while the window was frozen would act on the boxes and buttons to come.
  pw::discard_queued_input();
}

void CPushwellDlg::memory_ran_out() noexcept { show_out_of_memory_box(); }

void CPushwellDlg::show_out_of_memory_box() noexcept {
  pw::discard_queued_input();
  pw::show_out_of_memory_box(hwnd(), pw::kOutOfMemoryText);
}

void CPushwellDlg::out_of_memory() noexcept { host_.out_of_memory(); }

void CPushwellDlg::enable_about(bool enable) noexcept {
  if (HMENU menu = ::GetSystemMenu(hwnd(), FALSE))
    ::EnableMenuItem(menu, IDM_ABOUTBOX, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
}

pw::Reply CPushwellDlg::on_cancel_clicked() noexcept {
  // Cancel and Esc arrive here; the close box, Alt+F4 and the system menu's Close
  // as WM_CLOSE at the host. Either way the command's table decides.
  host_.close_asked();
  return pw::Reply::with(0);
}

void CPushwellDlg::another_updater_runs() noexcept {
  pw::bring_running_updater_forward();
  std::string text;
  if (pw::ran_out_of_memory([&] { text = pw::LangText(pw::text::kAnotherUpdater); })) text = pw::kOutOfMemoryText;
  host_.record().message(text, pw::MessageStyle::warning);
}

bool CPushwellDlg::open_window(pw::WorkflowHost&) noexcept {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = 8;
  controls.dwICC = 0xFF;
  ::InitCommonControlsEx(&controls);
  return run_modal(nullptr) != -1;  // the dialog's result is not used
}

void CPushwellDlg::close_refused() noexcept {
  if (pw::ran_out_of_memory([&] { refuse_close(); })) out_of_memory();
}

void CPushwellDlg::close_now() noexcept {
  static_cast<void>(pw::ran_out_of_memory([&] { host_.details().add("the window is closed"); }));
  end_dialog(IDCANCEL);
}

void CPushwellDlg::refuse_close() {
  if (boxes_open_ > 0) return;  // one box at a time; the open one has the user's attention
  const std::string text = pw::LangText(pw::text::kUpdateInProgress);
  update_box_open_ = true;
  // Opened between transfers, it closes as soon as it is there; during one, at its end.
  if (!host_.transfer_running()) ::PostMessageW(hwnd(), kCloseUpdateBoxMessage, 0, 0);
  host_.details().add("box (warning): " + text);
  show_box(text, pw::kBoxOk, &update_box_);
  host_.details().add("box closed");
  update_box_open_ = false;
  update_box_ = nullptr;
}

// The close-attempt box held the table's hearing of the end; the update must not wait for the user.
void CPushwellDlg::transfer_ended() noexcept { close_update_box(); }

void CPushwellDlg::close_update_box() noexcept {
  if (!update_box_open_ || update_box_ == nullptr) return;
  if (::IsWindow(update_box_)) ::SendMessageW(update_box_, WM_COMMAND, IDOK, 0);
}

pw::Reply CPushwellDlg::on_destroy() noexcept {
  ::RemovePropW(hwnd(), pw::kMainWindowMark);
  for (const int control : kLiveTexts) annotations_.clear(item(control));
  annotations_.clear(item(IDC_PROGRESS));
  progress.detach();
  return pw::Reply::unhandled();
}

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

void CPushwellDlg::apply_language_font() {
  constexpr int kTemplatePoints = 10;  // the template's size and weight stay
  const std::wstring faces = pw::widen(pw::LangText(pw::text::kDialogFont));
  if (faces.empty()) return;
  const pw::WindowDC window_dc(hwnd());
  const HDC dc = window_dc.get();
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
  if (chosen.empty()) return;
  language_font_.reset(::CreateFontW(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                     DEFAULT_PITCH | FF_DONTCARE, chosen.c_str()));
  if (!language_font_) return;
  ::EnumChildWindows(hwnd(), &set_child_font, reinterpret_cast<LPARAM>(language_font_.get()));
}

void CPushwellDlg::set_text(int control, const std::string& text, pw::LiveSetting setting) {
  set_item_text(control, text);
  if (control == IDC_STEP_TEXT) annotations_.set_name(item(IDC_PROGRESS), pw::widen(text).c_str());
  if (text.empty()) return;  // a cleared text has nothing to say
  annotations_.set_live_setting(item(control), setting);
  pw::raise_live_region_changed(item(control));
}

void CPushwellDlg::disable_update_button() noexcept {
  // A disabled button that keeps the focus leaves the keyboard, and a screen reader, nowhere.
  if (::GetFocus() == item(IDC_UPDATE_BUTTON))
    ::SendMessageW(hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item(IDCANCEL)), TRUE);
  enable_item(IDC_UPDATE_BUTTON, false);
}

void CPushwellDlg::clear_step_and_result() noexcept {
  if (pw::ran_out_of_memory([&] {
        set_text(IDC_STEP_TEXT, "");
        set_text(IDC_RESULT_TEXT, "");
      }))
    out_of_memory();
}

void CPushwellDlg::linked(bool linked) noexcept {
  if (pw::ran_out_of_memory(
          [&] { set_text(IDC_LINK_STATUS, pw::LangText(linked ? pw::text::kLinked : pw::text::kNotLinked)); }))
    out_of_memory();
}

void CPushwellDlg::files_begin() noexcept {
  reset_progress();
  clear_step_and_result();
}

void CPushwellDlg::folder_being_checked(const std::string& text) noexcept {
  if (pw::ran_out_of_memory([&] { set_text(IDC_STEP_TEXT, text); })) out_of_memory();
}

void CPushwellDlg::step_begins(std::size_t file, const char*, const std::string& text) noexcept {
  // The first file follows files_begin directly: nothing to clear yet.
  if (file > 0) files_begin();
  if (pw::ran_out_of_memory([&] { set_text(IDC_STEP_TEXT, text); })) out_of_memory();
}

void CPushwellDlg::transfer_begins(std::size_t, std::uint32_t) noexcept {
  disable_update_button();  // for the rest of the run
  if (pw::ran_out_of_memory([&] { set_text(IDC_RESULT_TEXT, pw::LangText(pw::text::kDoNotDisconnect)); }))
    out_of_memory();
}

void CPushwellDlg::file_progress(std::size_t, int percent) noexcept { progress.SetPos(percent); }

void CPushwellDlg::file_result(std::size_t, pw::FileOutcome outcome, std::uint32_t) noexcept {
  if (outcome == pw::FileOutcome::not_sent) return;
  // The update waits under the close-attempt box no longer: it must not wait for the user.
  close_update_box();
  const bool sent = outcome == pw::FileOutcome::sent;
  if (pw::ran_out_of_memory([&] {
        set_text(IDC_RESULT_TEXT, pw::LangText(sent ? pw::text::kTransferDone : pw::text::kTransferFailedResult),
                 sent ? pw::LiveSetting::polite : pw::LiveSetting::assertive);
      }))
    out_of_memory();
}

bool CPushwellDlg::message(const std::string& text, pw::MessageStyle style) noexcept {
  return show_box(text, box_style(style)) == IDOK;
}

bool CPushwellDlg::device_lost(const std::string& question) noexcept {
  return show_box(question, pw::kBoxOk) == IDOK;
}

void CPushwellDlg::installer_wanted(const std::string& path) noexcept {
  if (path.empty()) return;
  if (pw::ran_out_of_memory(
          [&] { ::ShellExecuteW(nullptr, L"open", pw::widen(path).c_str(), nullptr, nullptr, SW_SHOW); }))
    out_of_memory();
}

int CPushwellDlg::show_box(const std::string& text, unsigned style, HWND* opened) noexcept {
  // The workflow's own box replaces the close-attempt box, which must not hold it up.
  if (opened == nullptr) close_update_box();
  // Input made while the window served no messages would answer the box unseen.
  pw::discard_queued_input();
  ++boxes_open_;
  const int answer = message_box(text, style, opened);
  --boxes_open_;
  return answer;
}

void CPushwellDlg::reset_progress() noexcept {
  progress.SetRange(0, 100);
  progress.SetPos(0);
  progress.ShowPercent(TRUE);
  progress.SetColors(look_.look().bar);
}
