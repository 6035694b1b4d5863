// Checks of the main window that only the updater's own process can make under Wine:
// message box icons and the system menu.
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/main_dialog.h"
#include "resources/resource.h"
#include "win/message_box.h"

namespace {

template <class Match>
struct OwnDialogSearch {
  Match* match;
  HWND except;
  HWND found;
};

// An EnumWindows callback must have the system's calling convention, which a
// lambda does not have on i686.
template <class Match>
BOOL CALLBACK visit_own_dialog(HWND hwnd, LPARAM lp) {
  auto* s = reinterpret_cast<OwnDialogSearch<Match>*>(lp);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  char cls[32] = {};
  ::GetClassNameA(hwnd, cls, sizeof cls);
  if (pid == ::GetCurrentProcessId() && hwnd != s->except && std::string(cls) == "#32770" &&
      ::IsWindowVisible(hwnd) && (*s->match)(hwnd)) {
    s->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

// Finds a top-level dialog of this process, other than `except`, that satisfies `match`.
template <class Match>
HWND wait_for_own_dialog(Match match, HWND except = nullptr, DWORD timeout_ms = 20000) {
  OwnDialogSearch<Match> search{&match, except, nullptr};
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  while (::GetTickCount64() < deadline) {
    ::EnumWindows(&visit_own_dialog<Match>, reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    ::Sleep(20);
  }
  return nullptr;
}

HICON box_icon(HWND box) {
  HICON icon = nullptr;
  for (HWND child = ::GetWindow(box, GW_CHILD); child && !icon; child = ::GetWindow(child, GW_HWNDNEXT)) {
    char cls[32] = {};
    ::GetClassNameA(child, cls, sizeof cls);
    if (std::string(cls) == "Static" && (::GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
      icon = reinterpret_cast<HICON>(::SendMessageA(child, STM_GETICON, 0, 0));
  }
  return icon;
}

struct BoxStyleCase {
  UINT style;
  LPCSTR system_icon;
};

class MessageBoxStyle : public ::testing::TestWithParam<BoxStyleCase> {};

TEST_P(MessageBoxStyle, ShowsItsIconWithAnOkButtonAndTheApplicationCaption) {
  const std::string text = "box style " + std::to_string(GetParam().style);
  std::atomic<int> result{-1};
  std::thread shower([&] { result = pw::show_message_box(nullptr, text.c_str(), GetParam().style); });
  HWND box = wait_for_own_dialog([&](HWND h) {
    char t[128] = {};
    ::GetDlgItemTextA(h, 0xFFFF, t, sizeof t);
    return text == t;
  });
  ASSERT_NE(box, nullptr);
  char caption[MAX_PATH] = {};
  ::GetWindowTextA(box, caption, sizeof caption);
  EXPECT_EQ(std::string(caption), "win_tests") << "the caption is the executable's name without extension";
  EXPECT_EQ(box_icon(box), ::LoadIconA(nullptr, GetParam().system_icon));
  EXPECT_NE(::GetDlgItem(box, IDOK), nullptr);
  EXPECT_EQ(::GetDlgItem(box, IDCANCEL), nullptr);
  ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  shower.join();
  EXPECT_EQ(result.load(), IDOK);
}

INSTANTIATE_TEST_SUITE_P(Styles, MessageBoxStyle,
                         ::testing::Values(BoxStyleCase{pw::kBoxOk, IDI_EXCLAMATION},
                                           BoxStyleCase{pw::kBoxStop, IDI_HAND},
                                           BoxStyleCase{pw::kBoxQuestion, IDI_QUESTION}));

// The box's window, as the showing thread learns it, lets that thread close the box
// itself whatever the box shows, an empty text included.
struct BoxHandleWatch {
  HWND opened = nullptr;
  int ticks = 0;
  bool closed_by_handle = false;
};
BoxHandleWatch g_box_watch;

BOOL CALLBACK close_any_box(HWND window, LPARAM) {
  char cls[32] = {};
  ::GetClassNameA(window, cls, sizeof cls);
  if (std::string(cls) == "#32770") ::PostMessageA(window, WM_COMMAND, IDOK, 0);
  return TRUE;
}

void CALLBACK close_opened_box(HWND, UINT, UINT_PTR, DWORD) {
  if (g_box_watch.opened != nullptr && ::IsWindow(g_box_watch.opened)) {
    g_box_watch.closed_by_handle = true;
    ::SendMessageW(g_box_watch.opened, WM_COMMAND, IDOK, 0);
  } else if (++g_box_watch.ticks > 200) {  // never learnt: close it another way, so the test ends
    ::EnumThreadWindows(::GetCurrentThreadId(), &close_any_box, 0);
  }
}

TEST(MessageBoxHandle, LetsTheShowingThreadCloseABoxWithoutText) {
  g_box_watch = BoxHandleWatch{};
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, &close_opened_box);
  ASSERT_NE(timer, 0u);
  EXPECT_EQ(pw::show_message_box(nullptr, "", pw::kBoxOk, &g_box_watch.opened), IDOK);
  ::KillTimer(nullptr, timer);
  EXPECT_TRUE(g_box_watch.closed_by_handle) << "the box's window was never reported";
}

// Runs the main dialog on a thread of its own from an empty current directory (so no
// driver installer is found), then closes it.
class MainDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, temp);
    ::GetCurrentDirectoryA(MAX_PATH, saved_dir_);
    scratch_ = std::string(temp) + "pushwell-dlg-" + std::to_string(::GetCurrentProcessId());
    ::CreateDirectoryA(scratch_.c_str(), nullptr);
    ::SetCurrentDirectoryA(scratch_.c_str());
    runner_ = std::thread([this] {
      pw::WorkflowHost host("win_tests", pw::ProcessEnd::leave_loop);
      CPushwellDlg dialog(host);
      dialog.run_modal(nullptr);
    });
    dialog_ = wait_for_own_dialog([](HWND h) { return ::GetDlgItem(h, IDC_UPDATE_BUTTON) != nullptr; });
  }
  void TearDown() override {
    if (dialog_) ::PostMessageA(dialog_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    runner_.join();
    ::SetCurrentDirectoryA(saved_dir_);
    ::RemoveDirectoryA(scratch_.c_str());
  }
  char saved_dir_[MAX_PATH] = {};
  std::string scratch_;
  std::thread runner_;
  HWND dialog_ = nullptr;
};

TEST_F(MainDialog, SystemMenuOffersTheAboutItem) {
  ASSERT_NE(dialog_, nullptr);
  HMENU menu = ::GetSystemMenu(dialog_, FALSE);
  ASSERT_NE(menu, nullptr);
  char text[64] = {};
  ASSERT_GT(::GetMenuStringA(menu, IDM_ABOUTBOX, text, sizeof text, MF_BYCOMMAND), 0);
  EXPECT_EQ(std::string(text), "&About ...");
  const int count = ::GetMenuItemCount(menu);
  ASSERT_GE(count, 3);
  // "Copy details" follows it, last.
  EXPECT_EQ(::GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_COPY_DETAILS));
  EXPECT_EQ(::GetMenuItemID(menu, count - 2), static_cast<UINT>(IDM_ABOUTBOX));
  MENUITEMINFOA separator{};
  separator.cbSize = sizeof separator;
  separator.fMask = MIIM_FTYPE;
  ASSERT_TRUE(::GetMenuItemInfoA(menu, count - 3, TRUE, &separator));
  EXPECT_TRUE(separator.fType & MFT_SEPARATOR);
}

TEST_F(MainDialog, AboutCommandOpensTheAboutBoxAndOkClosesIt) {
  ASSERT_NE(dialog_, nullptr);
  ::PostMessageA(dialog_, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  HWND about = wait_for_own_dialog(
      [](HWND h) {
        char caption[64] = {};
        ::GetWindowTextA(h, caption, sizeof caption);
        return std::string(caption) == "About Download";
      },
      dialog_);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(::GetWindow(about, GW_OWNER), dialog_);
  ::PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  const ULONGLONG deadline = ::GetTickCount64() + 20000;
  while (::IsWindow(about) && ::GetTickCount64() < deadline) ::Sleep(20);
  EXPECT_FALSE(::IsWindow(about));
}

TEST_F(MainDialog, QueryDragIconAnswersTheApplicationIcon) {
  ASSERT_NE(dialog_, nullptr);
  const auto icon = reinterpret_cast<HICON>(::SendMessageA(dialog_, WM_QUERYDRAGICON, 0, 0));
  EXPECT_NE(icon, nullptr);
  EXPECT_EQ(icon, reinterpret_cast<HICON>(::SendMessageA(dialog_, WM_GETICON, ICON_BIG, 0)));
}

}  // namespace
