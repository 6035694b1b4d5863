// What a person who hears the screen, or has no mouse, meets: every new text of the
// link status, the step and the result reaches a screen reader as a live-region
// event, and the keyboard alone runs an update.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cctype>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

constexpr DWORD kLiveRegionChanged = 0x8019;  // EVENT_OBJECT_LIVEREGIONCHANGED, Windows 8 on
constexpr UINT kDrainMessage = WM_APP;

// Hears one process's live-region events out of context, as a screen reader does: on
// a thread of its own, reading the control's text as each event is handled.
class LiveRegionListener {
 public:
  explicit LiveRegionListener(DWORD pid) : thread_([this, pid] { listen(pid); }) {
    poll_until([&] { return started_.load(); });
  }
  ~LiveRegionListener() {
    ::PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
    thread_.join();
  }
  bool hooked() const { return hooked_; }
  // Returns once every event raised before the call has been handled.
  bool drain() {
    const int before = drained_;
    return ::PostThreadMessageW(thread_id_, kDrainMessage, 0, 0) && poll_until([&] { return drained_ > before; });
  }
  // The texts heard from control `id`, in order.
  std::vector<std::string> texts_of(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& [control, text] : heard_)
      if (control == id) texts.push_back(text);
    return texts;
  }

 private:
  static void CALLBACK hear(HWINEVENTHOOK, DWORD, HWND control, LONG, LONG, DWORD, DWORD) {
    std::lock_guard<std::mutex> lock(listening->mutex_);
    listening->heard_.emplace_back(::GetDlgCtrlID(control), window_text(control));
  }
  void listen(DWORD pid) {
    MSG msg;
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue that messages are posted to
    listening = this;
    thread_id_ = ::GetCurrentThreadId();
    const HWINEVENTHOOK hook =
        ::SetWinEventHook(kLiveRegionChanged, kLiveRegionChanged, nullptr, &hear, pid, 0, WINEVENT_OUTOFCONTEXT);
    hooked_ = hook != nullptr;
    started_ = true;
    // Events are queued here in the order they were raised, so a message posted
    // after them is handled after them.
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0)
      if (msg.message == kDrainMessage) ++drained_;
    if (hook) ::UnhookWinEvent(hook);
  }

  static thread_local LiveRegionListener* listening;
  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> heard_;
  std::atomic<int> drained_{0};
  std::atomic<bool> started_{false};
  bool hooked_ = false;
  DWORD thread_id_ = 0;
  std::thread thread_;  // last: it starts once the rest is there
};
thread_local LiveRegionListener* LiveRegionListener::listening = nullptr;

const char* const kFileOrder[] = {"firmware.cam", "image.cam", "imageru.cam", "sound.cam", "database.cam"};

TEST(ScreenReader, HearsEachNewLinkStepAndResultTextOnceItShows) {
  UpdaterRig rig("live-regions");
  std::vector<tools::Bytes> files;
  std::uint32_t seed = 1;
  for (const char* name : kFileOrder) files.push_back(rig.write_update_file(name, 60000, 1, seed++));
  // About a second a file: a step's text stays long after its event.
  ASSERT_TRUE(rig.start_device({"--unplugged", "--rate", "50000"}));
  ASSERT_TRUE(rig.start_updater());
  DialogApp& app = rig.app();
  LiveRegionListener listener(app.process().id());
  ASSERT_TRUE(listener.hooked());
  ASSERT_TRUE(rig.device_command("plug"));
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)})) << app.describe();
  ASSERT_TRUE(app.click(kUpdateButton));
  HWND finished = app.wait_for_message_box(msg(1010));
  ASSERT_NE(finished, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture_becomes(expected_stream(files)));
  // Nothing changes while the final box waits.
  ASSERT_TRUE(listener.drain());

  EXPECT_EQ(listener.texts_of(kLinkStatus), std::vector<std::string>{msg(1024)});
  EXPECT_EQ(listener.texts_of(kStepText),
            (std::vector<std::string>{msg(1027), msg(1033), msg(1034), msg(1028), msg(1026)}));
  // Per file "Do not disconnect the device.", which stays for the transfer, then
  // "Transfer finished.", which the next step clears at once (silently).
  const std::vector<std::string> results = listener.texts_of(kResultText);
  ASSERT_EQ(results.size(), 2 * files.size());
  for (std::size_t i = 0; i < results.size(); i += 2) EXPECT_EQ(results[i], msg(2012)) << "result event " << i;
  EXPECT_EQ(results.back(), msg(1030));
  ASSERT_TRUE(app.answer(finished));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

// The keyboard focus of `window`'s thread.
HWND focus_of(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return ::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

// Brings `window` to the front, where the keys go.
bool to_front(DialogApp& app, HWND window) {
  ::SetForegroundWindow(window);
  return app.wait_until([&] { return ::GetForegroundWindow() == window; });
}

TEST(KeyboardAlone, RunsAnUpdateFromTheMnemonicToTheFinalBox) {
  UpdaterRig rig("keyboard-alone");
  const std::vector<tools::Bytes> files = {rig.write_update_file("firmware.cam", 3000, 1, 1),
                                           rig.write_update_file("database.cam", 2000, 1, 2)};
  ASSERT_TRUE(rig.start_device({"--unplugged"}));
  ASSERT_TRUE(rig.start_updater());
  DialogApp& app = rig.app();
  HWND main = app.main_dialog();
  HWND update = ::GetDlgItem(main, kUpdateButton);
  const std::string label = lang("control", 1002);
  const std::size_t amp = label.find('&');
  ASSERT_TRUE(amp != std::string::npos && amp + 1 < label.size()) << label;
  const auto mnemonic = static_cast<WORD>(std::toupper(static_cast<unsigned char>(label[amp + 1])));
  ASSERT_TRUE(to_front(app, main));

  EXPECT_EQ(focus_of(main), update);
  // Two stops: Tab goes to Cancel and back, never to a text or the bar.
  send_key(VK_TAB);
  EXPECT_TRUE(app.wait_until([&] { return focus_of(main) == ::GetDlgItem(main, IDCANCEL); }));
  DWORD_PTR default_id = 0;
  ASSERT_TRUE(::SendMessageTimeoutW(main, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, 5000, &default_id));
  EXPECT_EQ(default_id, static_cast<DWORD_PTR>(MAKELONG(kUpdateButton, DC_HASDEFID))) << "not the default button";
  send_key(VK_TAB);
  EXPECT_TRUE(app.wait_until([&] { return focus_of(main) == update; }));

  send_key(mnemonic, VK_MENU);
  HWND unlinked = app.wait_for_message_box(msg(1021));
  ASSERT_NE(unlinked, nullptr) << app.describe();
  ASSERT_TRUE(to_front(app, unlinked));
  send_key(VK_ESCAPE);
  ASSERT_TRUE(app.wait_until_gone(unlinked));

  ASSERT_TRUE(rig.device_command("plug"));
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)})) << app.describe();
  ASSERT_TRUE(to_front(app, main));
  send_key(mnemonic, VK_MENU);
  HWND finished = app.wait_for_message_box(msg(1010));
  ASSERT_NE(finished, nullptr) << app.describe();
  ASSERT_TRUE(to_front(app, finished));
  send_key(VK_RETURN);
  const auto code = app.wait_for_exit();
  ASSERT_TRUE(code.has_value()) << app.describe();
  EXPECT_EQ(*code, 0u);
  EXPECT_TRUE(rig.capture_becomes(expected_stream(files)));
}

}  // namespace
}  // namespace pw::e2e
