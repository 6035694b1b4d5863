// Support asks for the run's details: Ctrl+C typed into the updater's window or
// into one of its boxes puts them on the clipboard.
#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>

#include "pushwell_version.h"
#include "tests/e2e/updater_rig.h"
#include "update/sha256.h"

namespace pw::e2e {
namespace {

std::string sha256_of(const tools::Bytes& bytes) {
  Sha256 digest;
  digest.add(bytes.data(), bytes.size());
  return digest.hex();
}

// Brings `window` to the front and types Ctrl+C into it; the clipboard's text once
// something arrived there.
std::optional<std::string> copy_with_ctrl_c(DialogApp& app, HWND window) {
  ::SetForegroundWindow(window);
  if (!app.wait_until([&] { return ::GetForegroundWindow() == window; })) return std::nullopt;
  if (!clear_clipboard()) return std::nullopt;
  send_key('C', VK_CONTROL);
  std::optional<std::string> text;
  poll_until([&] {
    text = clipboard_text();
    return text && !text->empty();
  });
  return text;
}

// The details as one line each holds them: line breaks written as "\n".
std::string as_recorded(const std::string& text) {
  std::string line;
  for (char c : text) line += c == '\n' ? std::string("\\n") : std::string(1, c);
  return line;
}

TEST(CopiedDetails, AfterAnEarlyEndBehindASentFileHoldTheWholeRun) {
  UpdaterRig rig("details-early-end");
  const tools::Bytes firmware = rig.write_update_file("firmware.cam", 3000, 1, 1);
  tools::Bytes image(4096, 0x11);
  image[0] = 0x23;  // the wrong marker
  image[1] = 1;
  ASSERT_TRUE(rig.write_bytes("image.cam", image));
  ASSERT_TRUE(rig.start_update());
  DialogApp& app = rig.app();
  HWND box = app.wait_for_message_box(msg(1022));
  ASSERT_NE(box, nullptr) << app.describe();
  const std::string box_text = message_box_text(box);
  ASSERT_TRUE(app.answer(box));

  const std::optional<std::string> copied = copy_with_ctrl_c(app, app.main_dialog());
  ASSERT_TRUE(copied.has_value()) << "nothing reached the clipboard";
  const std::string& details = *copied;
  EXPECT_NE(details.find("Pushwell " PUSHWELL_VERSION_STRING), std::string::npos) << details;
  EXPECT_NE(details.find("file firmware.cam: 4024 bytes, send flag 1"), std::string::npos) << details;
  EXPECT_NE(details.find("file image.cam: 4096 bytes, send flag 1, refused (wrong marker)"), std::string::npos)
      << details;
  EXPECT_NE(details.find("loaded firmware.cam: 4024 bytes, SHA-256 " + sha256_of(firmware)), std::string::npos)
      << details;
  EXPECT_NE(details.find("transfer of firmware.cam: 3000 of 3000 payload bytes sent"), std::string::npos) << details;
  EXPECT_NE(details.find("identification: reply 56 31 2e 30 37 \"V1.07\", the right model"), std::string::npos)
      << details;
  EXPECT_NE(details.find("box (warning): " + as_recorded(box_text)), std::string::npos) << details;
  EXPECT_TRUE(app.process().running()) << "Ctrl+C does not end the program";
}

TEST(CopiedDetails, FromTheWrongDeviceBoxFollowTheBoxText) {
  UpdaterRig rig("details-wrong-device");
  rig.write_update_file("firmware.cam", 3000, 1, 1);
  ASSERT_TRUE(rig.start_update({"--reply-byte", "0x57"}));
  DialogApp& app = rig.app();
  HWND box = app.wait_for_message_box(kWrongDevice);
  ASSERT_NE(box, nullptr) << app.describe();

  const std::optional<std::string> copied = copy_with_ctrl_c(app, box);
  ASSERT_TRUE(copied.has_value()) << "nothing reached the clipboard";
  const std::string& details = *copied;
  EXPECT_EQ(details.rfind(std::string(kWrongDevice) + "\r\n\r\n", 0), 0u) << details;
  EXPECT_NE(details.find("Pushwell " PUSHWELL_VERSION_STRING), std::string::npos) << details;
  EXPECT_NE(details.find("identification: reply 57"), std::string::npos) << details;
  EXPECT_NE(details.find("not identified"), std::string::npos) << details;
  EXPECT_NE(details.find(std::string("box (stop): ") + kWrongDevice), std::string::npos) << details;
  EXPECT_TRUE(::IsWindow(box)) << "Ctrl+C does not answer the box";
  ASSERT_TRUE(app.answer(box));
  EXPECT_TRUE(app.wait_for_exit().has_value());
}

}  // namespace
}  // namespace pw::e2e
