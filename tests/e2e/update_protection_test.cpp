// What ordinary user actions may not do to an update: close the window under a
// running flash, act later from input made while the window was frozen, turn an
// unplug into a wrong model, skip files on one missed presence check, mix a
// second updater's bytes in, hold it up with the About box or the system menu,
// or raise an alarm once it has ended.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "tests/e2e/updater_rig.h"

namespace pw::e2e {
namespace {

constexpr int kCancelButton = IDCANCEL;

struct CloseAttempt {
  const char* name;
  std::function<bool(const DialogApp&)> attempt;
};

class CloseDuringAnUpdate : public ::testing::TestWithParam<CloseAttempt> {};

// Attempts during the first and during a later file: each opens one box that says
// why, the window stays, the box closes by itself when that transfer ends, and the
// device receives every byte.
TEST_P(CloseDuringAnUpdate, KeepsTheWindowAndDeliversTheWholeStream) {
  const CloseAttempt& c = GetParam();
  UpdaterRig rig(std::string("close-") + c.name);
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 240000, 1, 1);
  const tools::Bytes image = rig.write_update_file("image.cam", 240000, 1, 2);
  const tools::Bytes database = rig.write_update_file("database.cam", 5000, 1, 3);
  const tools::Bytes all = expected_stream({firmware, image, database});
  ASSERT_TRUE(rig.start_update({"--rate", "200000"}));
  DialogApp& app = rig.app();

  const std::size_t image_starts = 1 + 48 + (firmware.size() - 1024);
  int moment = 0;
  for (const std::size_t at : {std::size_t{20000}, image_starts + 20000}) {
    ++moment;
    ASSERT_TRUE(rig.wait_capture_size(at)) << app.describe();
    ASSERT_TRUE(c.attempt(app));
    HWND box = app.wait_for_message_box(msg(2010));
    ASSERT_NE(box, nullptr) << app.describe();
    // A second attempt while the box is open is ignored.
    ASSERT_TRUE(c.attempt(app));
    EXPECT_TRUE(::IsWindowVisible(app.main_dialog())) << "the window went away during a transfer";
    app.save_screenshots("screenshots/close-attempt-" + std::string(c.name) + "-" + std::to_string(moment));
    EXPECT_EQ(app.open_message_boxes().size(), 1u) << app.describe();
    EXPECT_TRUE(app.wait_until_gone(box)) << "the box must close itself once the transfer has ended";
  }
  HWND finished = app.wait_for_message_box(msg(1010));
  ASSERT_NE(finished, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture_becomes(all));
  EXPECT_EQ(app.count_seen(msg(2010)), 2u) << app.describe();
  ASSERT_TRUE(app.answer(finished));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, CloseDuringAnUpdate,
    ::testing::Values(CloseAttempt{"CancelButton", [](const DialogApp& a) { return a.click(kCancelButton); }},
                      CloseAttempt{"CloseBox", [](const DialogApp& a) { return a.close(); }},
                      CloseAttempt{"SystemMenuClose", [](const DialogApp& a) { return a.system_command(SC_CLOSE); }}),
    [](const ::testing::TestParamInfo<CloseAttempt>& i) { return std::string(i.param.name); });

TEST(CloseAfterAnUpdate, WorksOnceTheCommandHasEnded) {
  UpdaterRig rig("close-after");
  rig.write_update_file("firmware.cam", 1000, 1, 1);
  rig.write_bytes("image.cam", tools::Bytes(500, 0x24));  // too short: the command ends early
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  ASSERT_TRUE(rig.run_command_answering(msg(1023)));
  DialogApp& app = rig.app();
  ASSERT_TRUE(app.close());
  const auto code = app.wait_for_exit();
  ASSERT_TRUE(code.has_value()) << app.describe();
  EXPECT_EQ(app.count_seen(msg(2010)), 0u);
}

// Real input, as the system queues it while the window is frozen in the
// identification: a click on Cancel, then Enter and Esc.
void send_click_at(HWND target) {
  RECT r{};
  ::GetWindowRect(target, &r);
  ::SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  INPUT in[2] = {};
  in[0].type = in[1].type = INPUT_MOUSE;
  in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  ::SendInput(2, in, sizeof(INPUT));
}

TEST(InputDuringTheIdentification, IsDroppedUnread) {
  UpdaterRig rig("typed-ahead");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 3000, 1, 1);
  // The reply comes late, so the window stays frozen for most of a second.
  ASSERT_TRUE(rig.start_device({"--reply-delay", "800"}));
  ASSERT_TRUE(rig.start_updater_linked());
  DialogApp& app = rig.app();
  ::SetForegroundWindow(app.main_dialog());
  ASSERT_TRUE(app.wait_until([&] { return ::GetForegroundWindow() == app.main_dialog(); }))
      << "the updater's window never came to the front";
  ASSERT_TRUE(app.click(kUpdateButton));
  ASSERT_TRUE(rig.wait_capture_size(1)) << "no identification byte";
  send_click_at(::GetDlgItem(app.main_dialog(), kCancelButton));
  send_key(VK_RETURN);
  send_key(VK_ESCAPE);

  // No database: the command ends the process after 1035, which the queued keys
  // must not have answered.
  HWND box = app.wait_for_message_box(msg(1035));
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware})));
  EXPECT_EQ(app.count_seen(msg(2010)), 0u) << "the click on Cancel acted after the freeze";
  EXPECT_TRUE(::IsWindowVisible(app.main_dialog()));
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

TEST(UnplugDuringTheIdentification, SaysNotConnectedAndKeepsRunning) {
  UpdaterRig rig("unplug-ident");
  rig.write_update_file("firmware.cam", 3000, 1, 1);
  ASSERT_TRUE(rig.start_update({"--no-reply"}));
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.wait_capture_size(1)) << "no identification byte";
  ASSERT_TRUE(rig.device_command("unplug"));
  HWND box = app.wait_for_message_box(msg(1021));
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_EQ(app.count_seen(kWrongDevice), 0u);
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(app.wait_for_text(kLinkStatus, {msg(1025)}));
  EXPECT_TRUE(app.process().running()) << "an unplugged device is no wrong model";
  EXPECT_EQ(rig.capture().size(), 1u) << "no file may follow";
}

struct MissCase {
  const char* name;
  int long_file;  // the file during which one check misses the device, 0-based in the order sent
};

class OneMissedCheck : public ::testing::TestWithParam<MissCase> {};

// One presence check that does not see the device, during the file before the
// one that needs the link: no file is skipped, the process does not end, and no
// question is asked.
TEST_P(OneMissedCheck, ChangesNothing) {
  const MissCase& c = GetParam();
  UpdaterRig rig(std::string("miss-") + c.name);
  const char* names[] = {"firmware.cam", "image.cam", "imageru.cam", "sound.cam", "database.cam"};
  std::vector<tools::Bytes> files;
  std::size_t long_file_starts = 1;
  for (int i = 0; i < 5; ++i) {
    const std::size_t payload = i == c.long_file ? 400000 : 4000;
    files.push_back(rig.write_update_file(names[i], payload, 1, static_cast<std::uint32_t>(i + 1)));
    if (i < c.long_file) long_file_starts += 48 + payload;
  }
  ASSERT_TRUE(rig.start_update({"--rate", "200000"}));
  DialogApp& app = rig.app();
  // About a second before the long file ends: the next periodic check misses.
  ASSERT_TRUE(rig.wait_capture_size(long_file_starts + 200000)) << app.describe();
  ASSERT_TRUE(rig.device_command("miss-checks 1"));
  EXPECT_FALSE(app.wait_until([&] { return app.text(kLinkStatus) == msg(1025); }, Millis{1500}))
      << "a single missed check changed the status: " << app.describe();
  HWND finished = app.wait_for_message_box(msg(1010));
  ASSERT_NE(finished, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture_becomes(expected_stream(files)));
  EXPECT_EQ(app.count_seen(msg(1021)), 0u) << app.describe();
  EXPECT_EQ(app.count_seen(msg(1035)), 0u) << app.describe();
  ASSERT_TRUE(app.answer(finished));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

INSTANTIATE_TEST_SUITE_P(Moments, OneMissedCheck,
                         ::testing::Values(MissCase{"BeforeFile3", 1}, MissCase{"BeforeFile5", 3},
                                           MissCase{"BeforeTheEnd", 4}),
                         [](const ::testing::TestParamInfo<MissCase>& i) { return std::string(i.param.name); });

// Outside a transfer the rules stay: after a command that sent a file and then
// ended early, two missed checks in a row are a lost device.
TEST(MissedChecks, TwoInARowAfterAnEarlyEndAreALostDevice) {
  UpdaterRig rig("miss-two");
  rig.write_update_file("firmware.cam", 4000, 1, 1);
  rig.write_bytes("image.cam", tools::Bytes(500, 0x24));  // too short: the command ends early
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.run_command_answering(msg(1023)));
  ASSERT_TRUE(rig.device_command("miss-checks 2"));
  HWND question = app.wait_for_message_box(msg(1021));
  ASSERT_NE(question, nullptr) << app.describe();
  EXPECT_EQ(app.text(kLinkStatus), msg(1025));
  ASSERT_TRUE(app.answer(question));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

struct Interference {
  const char* name;
  // Done while the firmware goes out; it checks what it can see at once.
  std::function<void(UpdaterRig&)> during;
  // Checked once the update has finished.
  std::function<void(UpdaterRig&)> after;
};

void PrintTo(const Interference& c, std::ostream* os) { *os << c.name; }

class DuringATransfer : public ::testing::TestWithParam<Interference> {};

// Something the driver, the user or another updater does while the firmware goes
// out: the update goes on to the end, and the device receives its stream alone.
TEST_P(DuringATransfer, NothingHoldsTheUpdateUpOrMixesIn) {
  const Interference& c = GetParam();
  UpdaterRig rig(std::string("during-") + c.name);
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 600000, 1, 1);
  const tools::Bytes database = rig.write_update_file("database.cam", 4000, 1, 2);
  ASSERT_TRUE(rig.start_update({"--rate", "200000"}));
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.wait_capture_size(20000)) << app.describe();
  c.during(rig);
  HWND finished = app.wait_for_message_box(msg(1010));
  ASSERT_NE(finished, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware, database})));
  c.after(rig);
  ASSERT_TRUE(app.answer(finished));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

// A driver that refuses every presence probe while its out pipe works: the
// transfer decides, and the status stays linked.
void refuse_probes(UpdaterRig& rig) {
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.device_command("refuse-probe on"));
  // Two periodic checks and their rechecks fall into the rest of the firmware.
  EXPECT_FALSE(app.wait_until([&] { return app.text(kLinkStatus) == msg(1025); }, Millis{2500}))
      << "a refused probe changed the status during a transfer: " << app.describe();
}

// A second updater started in the same folder says so and ends.
void start_a_second_updater(UpdaterRig& rig) {
  DialogApp second;
  ASSERT_TRUE(second.start(join_path(bin_folder(), kUpdaterExe), rig.updater_options(rig.folder().path())));
  HWND refusal = second.wait_for_message_box(msg(2013));
  ASSERT_NE(refusal, nullptr) << second.describe();
  EXPECT_EQ(dialogs_of_process(second.process().id()).size(), 1u) << "no window of its own: " << second.describe();
  ASSERT_TRUE(second.answer(refusal));
  EXPECT_EQ(second.wait_for_exit(), std::optional<DWORD>(0));
}

constexpr WPARAM kAboutCommand = 0x10;

INSTANTIATE_TEST_SUITE_P(
    Interferences, DuringATransfer,
    ::testing::Values(
        Interference{"PresenceProbesRefused", refuse_probes,
                     [](UpdaterRig& rig) { EXPECT_EQ(rig.app().count_seen(msg(1021)), 0u) << rig.app().describe(); }},
        Interference{"SecondUpdater", start_a_second_updater,
                     [](UpdaterRig& rig) { EXPECT_EQ(rig.device_status().identify_requests, 1); }},
        Interference{"AboutAskedFor", [](UpdaterRig& rig) { ASSERT_TRUE(rig.app().system_command(kAboutCommand)); },
                     [](UpdaterRig& rig) {
                       EXPECT_EQ(rig.app().wait_for_dialog("About Download", Millis{0}), nullptr)
                           << rig.app().describe();
                     }}),
    [](const ::testing::TestParamInfo<Interference>& i) { return std::string(i.param.name); });

// A popup menu window of the updater's process, once one is shown.
struct MenuSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK find_menu_window(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<MenuSearch*>(param);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  char name[16] = {};
  if (pid == search->pid && ::IsWindowVisible(window) && ::GetClassNameA(window, name, sizeof name) > 0 &&
      std::string(name) == "#32768") {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND open_menu_of(DWORD pid) {
  MenuSearch search{pid, nullptr};
  ::EnumWindows(&find_menu_window, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The system menu, held open by the user across the end of the firmware: its
// modal loop does not hold the next file, which starts and goes out meanwhile.
TEST(SystemMenuHeldOpen, TheNextFileStillStarts) {
  UpdaterRig rig("held-menu");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 300000, 1, 1);
  const tools::Bytes database = rig.write_update_file("database.cam", 300000, 1, 2);
  ASSERT_TRUE(rig.start_update({"--rate", "200000"}));
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.wait_capture_size(20000)) << app.describe();
  // Alt+Space: the system menu opens and its modal loop runs on the window thread.
  ASSERT_TRUE(::PostMessageW(app.main_dialog(), WM_SYSCOMMAND, SC_KEYMENU, ' '));
  ASSERT_TRUE(app.wait_until([&] { return open_menu_of(app.process().id()) != nullptr; }))
      << "the system menu did not open: " << app.describe();
  const std::size_t firmware_stream = expected_stream({firmware}).size();
  // Held for up to 10 s: the database starts under the menu.
  EXPECT_TRUE(rig.wait_capture_size(firmware_stream + 20000, Millis{10000}))
      << "the next file waited for the menu: " << app.describe();
  EXPECT_NE(open_menu_of(app.process().id()), nullptr) << "the menu closed on its own";
  ::SendMessageTimeoutW(app.main_dialog(), WM_CANCELMODE, 0, 0, SMTO_NORMAL, 5000, nullptr);
  HWND finished = app.wait_for_message_box(msg(1010));
  ASSERT_NE(finished, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware, database})));
  ASSERT_TRUE(app.answer(finished));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

// An unplug behind "the update has finished" raises no second box.
TEST(UnplugBehindTheFinalBox, AsksNothing) {
  UpdaterRig rig("unplug-final");
  rig.write_update_file("firmware.cam", 3000, 1, 1);
  rig.write_update_file("database.cam", 3000, 1, 2);
  ASSERT_TRUE(rig.start_update());
  DialogApp& app = rig.app();
  HWND finished = app.wait_for_message_box(msg(1010));
  ASSERT_NE(finished, nullptr) << app.describe();
  ASSERT_TRUE(rig.device_command("unplug"));
  // The poll runs inside the box: the status follows the device, no question comes.
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1025)})) << app.describe();
  EXPECT_EQ(app.open_message_boxes().size(), 1u) << app.describe();
  EXPECT_EQ(app.count_seen(msg(1021)), 0u) << app.describe();
  ASSERT_TRUE(app.answer(finished));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

// Real keys typed while the driver takes 1.5 s to refuse the out pipe for the
// first file: they neither close the box that follows nor start a second command.
TEST(InputDuringASlowPipeOpen, IsDroppedUnread) {
  UpdaterRig rig("slow-open");
  rig.write_update_file("firmware.cam", 3000, 1, 1);
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  DialogApp& app = rig.app();
  ::SetForegroundWindow(app.main_dialog());
  ASSERT_TRUE(app.wait_until([&] { return ::GetForegroundWindow() == app.main_dialog(); }))
      << "the updater's window never came to the front";
  ASSERT_TRUE(app.click(kUpdateButton));
  ASSERT_TRUE(rig.wait_capture_size(1)) << "no identification byte";
  // The identification's own wait lasts a second at least: the firmware's open comes after.
  ASSERT_TRUE(rig.device_command("slow-open 1500 fail"));
  ASSERT_TRUE(app.wait_for_text(kStepText, {msg(1027)})) << app.describe();
  send_key(VK_RETURN);
  send_key(VK_RETURN);
  send_key(VK_ESCAPE);
  // The window answers within 5 s all the same; how long the driver's call held it is printed.
  const auto asked = std::chrono::steady_clock::now();
  DWORD_PTR result = 0;
  EXPECT_NE(::SendMessageTimeoutW(app.main_dialog(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result), 0);
  const auto frozen = std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - asked);
  std::printf("the window answered after %lld ms\n", static_cast<long long>(frozen.count()));

  HWND box = app.wait_for_message_box(msg(1021));
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_FALSE(app.wait_until_gone(box, Millis{1500})) << "a key typed during the freeze closed the box";
  ASSERT_TRUE(rig.device_command("slow-open off"));
  ASSERT_TRUE(app.answer(box));
  EXPECT_FALSE(rig.wait_capture_size(2, Millis{1500})) << "a key typed during the freeze started a command";
  EXPECT_EQ(rig.device_status().identify_requests, 1);
  EXPECT_EQ(app.count_seen(msg(1021)), 1u) << app.describe();
  EXPECT_TRUE(app.process().running());
}

}  // namespace
}  // namespace pw::e2e

namespace pw::e2e {
namespace {

// Asks the window for WM_NULL until `done`, each time with a 2 s bound; the
// longest answer, or nothing when one went unanswered.
std::optional<Millis> window_answers_until(DialogApp& app, const std::function<bool()>& done,
                                           Millis timeout = kDeadline) {
  Millis longest{0};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    const auto asked = std::chrono::steady_clock::now();
    DWORD_PTR result = 0;
    if (::SendMessageTimeoutW(app.main_dialog(), WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result) == 0) return std::nullopt;
    longest = std::max(longest, std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - asked));
    ::Sleep(20);
  }
  return longest;
}

// The driver takes 8 s to open the out pipe for the second file: the pipe is
// opened on the worker, so the window answers throughout and the update completes.
TEST(SlowPipeOpenBeforeTheSecondFile, LeavesTheWindowAnswering) {
  UpdaterRig rig("slow-open-second");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 300000, 1, 1);
  const tools::Bytes database = rig.write_update_file("database.cam", 3000, 1, 2);
  ASSERT_TRUE(rig.start_update({"--rate", "200000"}));
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.wait_capture_size(20000)) << app.describe();
  ASSERT_TRUE(rig.device_command("slow-open 8000"));
  const auto longest =
      window_answers_until(app, [&] { return app.wait_for_message_box(msg(1010), Millis{0}) != nullptr; });
  ASSERT_TRUE(longest.has_value()) << "the window went unanswered for 2 s: " << app.describe();
  std::printf("the window's longest answer during the slow open: %lld ms\n", static_cast<long long>(longest->count()));
  EXPECT_TRUE(rig.finishes_with(expected_stream({firmware, database})));
}

// A presence probe that hangs for 8 s while idle: the window answers, the status
// says the driver is not answering, and once it answers an update completes.
TEST(HungPresenceProbe, LeavesTheWindowAnsweringAndSaysSo) {
  UpdaterRig rig("hung-probe");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 3000, 1, 1);
  const tools::Bytes database = rig.write_update_file("database.cam", 3000, 1, 2);
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.device_command("hang-probe 8000"));
  bool said = false;
  const auto longest = window_answers_until(app, [&] {
    said = said || app.text(kLinkStatus) == msg(2017);
    return said && app.text(kLinkStatus) == msg(1024);
  });
  ASSERT_TRUE(longest.has_value()) << "the window went unanswered for 2 s: " << app.describe();
  std::printf("the window's longest answer during the hung probe: %lld ms\n", static_cast<long long>(longest->count()));
  EXPECT_TRUE(said) << app.describe();
  ASSERT_TRUE(app.wait_for_text(kLinkStatus, {msg(1024)})) << app.describe();
  ASSERT_TRUE(app.click(kUpdateButton));
  EXPECT_TRUE(rig.finishes_with(expected_stream({firmware, database})));
}

// The driver never returns from opening the out pipe for the second file: the
// window answers, a box says the driver does not answer, nothing of the second
// file goes out, and Update stays disabled.
TEST(PipeOpenThatNeverReturns, EndsTheCommandWithTheDriverBox) {
  UpdaterRig rig("hung-open");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 300000, 1, 1);
  rig.write_update_file("database.cam", 3000, 1, 2);
  ASSERT_TRUE(rig.start_update({"--rate", "200000"}));
  DialogApp& app = rig.app();
  ASSERT_TRUE(rig.wait_capture_size(20000)) << app.describe();
  ASSERT_TRUE(rig.device_command("slow-open 60000"));
  HWND box = nullptr;
  const auto longest =
      window_answers_until(app, [&] { return (box = app.wait_for_message_box(msg(2018), Millis{0})) != nullptr; });
  ASSERT_TRUE(longest.has_value()) << "the window went unanswered for 2 s: " << app.describe();
  ASSERT_NE(box, nullptr) << app.describe();
  EXPECT_TRUE(rig.capture_becomes(expected_stream({firmware})));
  ASSERT_TRUE(app.answer(box));
  EXPECT_FALSE(app.enabled(kUpdateButton));
  ASSERT_TRUE(rig.device_command("slow-open off"));
  EXPECT_FALSE(rig.wait_capture_size(expected_stream({firmware}).size() + 1, Millis{1500}))
      << "the late pipe was used";
  EXPECT_TRUE(app.process().running());
}

}  // namespace
}  // namespace pw::e2e
