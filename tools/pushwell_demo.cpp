// pushwell_demo: plays the user in the demo run without a display. Starts
// Pushwell.exe in the demo folder, saves a screenshot of the idle window once
// the device is linked, presses "Update File", saves one mid-transfer and two
// of the finished update (window and final box), answers the boxes and reports
// what it saw.
//   pushwell_demo <Pushwell.exe> <demo folder> <screenshot folder> <expected stream bytes>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/sim_control.h"
#include "tools/driver/driver.h"

using namespace pw::e2e;

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: pushwell_demo PUSHWELL_EXE DEMO_FOLDER SCREENSHOT_FOLDER EXPECTED_BYTES\n");
    return 2;
  }
  const std::string exe = argv[1], folder = argv[2], shots = argv[3];
  const unsigned long long expected = std::strtoull(argv[4], nullptr, 10);
  const std::string lang_ini = exe.substr(0, exe.find_last_of('\\') + 1) + "lang.ini";
  const std::string device = pw::sim::device_name();
  const Millis patience{120000};

  DialogApp app;
  LaunchOptions options;
  options.current_directory = folder;
  if (!app.start(exe, options) || !app.wait_for_main_dialog()) {
    std::printf("demo: the updater did not open its window\n");
    return 1;
  }
  if (!app.wait_for_text(1002, {read_profile_string(lang_ini, "message", "1024")})) {
    std::printf("demo: the device was not linked\n%s\n", app.describe().c_str());
    return 1;
  }
  save_screenshot(app.main_dialog(), shots + "\\idle.bmp");
  std::printf("demo: device linked, pressing \"%s\"\n", app.text(1000).c_str());
  std::fflush(stdout);
  app.click(1000);

  // Mid-transfer: a third of the stream has arrived.
  const bool midway = app.wait_until(
      [&] {
        pw::sim::Status status;
        return pw::sim::query_status(device, &status) && status.bytes_received * 3 >= expected;
      },
      patience);
  if (midway) {
    save_screenshot(app.main_dialog(), shots + "\\mid-transfer.bmp");
    std::printf("demo: mid-transfer, step \"%s\"\n", app.text(1004).c_str());
  }

  HWND box = app.wait_for_any_message_box(patience);
  if (!box) {
    std::printf("demo: no final message\n%s\n", app.describe().c_str());
    return 1;
  }
  // The box may not have painted itself yet: wait until its face is on the screen.
  poll_until(
      [&] {
        RECT r{};
        ::GetWindowRect(box, &r);
        const pw::WindowDC screen(nullptr);
        const COLORREF face = ::GetPixel(screen.get(), r.left + 8, r.bottom - 8);
        return face != RGB(0, 0, 0) && face != CLR_INVALID;
      },
      Millis{5000});
  save_screenshot(box, shots + "\\finished-message.bmp");
  save_screenshot(app.main_dialog(), shots + "\\finished.bmp");
  const std::string text = message_box_text(box);
  // The finished text, then the files the device received: all five.
  bool finished = box_text_matches(text, read_profile_string(lang_ini, "message", "1010"));
  for (const char* name : {"firmware.cam", "image.cam", "imageru.cam", "sound.cam", "database.cam"}) {
    if (text.find(name) == std::string::npos) {
      std::printf("demo: the final message does not name %s\n", name);
      finished = false;
    }
  }
  std::printf("demo: final message \"%s\"\n", text.c_str());
  app.answer(box);
  const auto code = app.wait_for_exit(patience);
  if (code) std::printf("demo: the updater ended with status %lu\n", static_cast<unsigned long>(*code));
  return finished && code && *code == 0 ? 0 : 1;
}
