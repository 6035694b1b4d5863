// Update files that are odd, damaged, not files at all, held by another program,
// or very large: the device receives exactly the files sent whole before the
// fault, and the user is told which file stopped the update.
#include <gtest/gtest.h>

#include <cstdio>

#include "sim/sim_names.h"
#include "tests/e2e/fault_rig.h"

namespace pw::e2e {
namespace {

const Shown kFinished{1010};
const Shown kTooShort{1023};
const Shown kNoDatabase{1035};
const Shown kCannotOpen{2008};

// What is done to one update file after the planned ones are written.
enum class Twist { none, emptied, folder_instead, held_open };

struct FileFault {
  const char* name;
  std::vector<PlannedFile> files;
  Twist twist;
  const char* twisted_file;
  std::size_t files_received;  // flagged files, in order, the device gets whole
  Expectation expected;
  std::optional<bool> button_enabled;  // when the program keeps running
  bool box_names_the_file;
};

void PrintTo(const FileFault& fault, std::ostream* os) { *os << fault.name; }

// Holds the twisted file the way the row says, for as long as it lives.
class AppliedTwist {
 public:
  bool apply(UpdaterRig& rig, Twist twist, const char* file) {
    if (twist == Twist::none) return true;
    const std::string path = rig.folder().file(file);
    ::DeleteFileA(path.c_str());
    switch (twist) {
      case Twist::emptied:
        return write_text_file(path, "");
      case Twist::folder_instead:
        return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
      case Twist::held_open:
        if (!rig.write_update_file(file, 3000).size()) return false;
        held_.reset(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        return held_.valid();
      case Twist::none:
        break;
    }
    return true;
  }

 private:
  UniqueHandle held_;  // sharing denied: nobody else may open it meanwhile
};

class FaultFiles : public ::testing::TestWithParam<FileFault> {};

TEST_P(FaultFiles, DeviceGetsTheWholeFilesBeforeTheFaultAndTheUserIsTold) {
  const FileFault& fault = GetParam();
  UpdaterRig rig(std::string("fault-file-") + fault.name);
  const std::vector<tools::Bytes> flagged = write_planned_files(rig, fault.files);
  AppliedTwist twist;
  ASSERT_TRUE(twist.apply(rig, fault.twist, fault.twisted_file));
  ASSERT_TRUE(rig.start_update());
  DialogApp& app = rig.app();
  EXPECT_TRUE(run_to_end(app, fault.expected));

  const tools::Bytes full = expected_stream(flagged);
  const tools::Bytes received =
      expected_stream(std::vector<tools::Bytes>(flagged.begin(), flagged.begin() + fault.files_received));
  const tools::Bytes capture = settled_capture(rig, received.size());
  EXPECT_TRUE(delivered_honestly(capture, full, app.count_seen(msg(1010)) > 0));
  EXPECT_EQ(capture, received) << "the device should have received exactly " << fault.files_received
                               << " whole file(s)";
  if (fault.box_names_the_file) {
    const std::string path = rig.folder().file(fault.twisted_file);
    const std::vector<SeenBox>& boxes = app.boxes_seen();
    EXPECT_TRUE(std::any_of(boxes.begin(), boxes.end(),
                            [&](const SeenBox& box) { return box.text.find("\n\n" + path) != std::string::npos; }))
        << "no box names " << path << ": " << app.describe();
  }
  if (fault.button_enabled && app.process().running()) {
    EXPECT_EQ(app.enabled(kUpdateButton), *fault.button_enabled);
  }
  keep_screenshots_on_failure(app);
}

FileFault row(const char* name, std::vector<PlannedFile> files, Twist twist, const char* twisted_file,
              std::size_t files_received, Expectation expected, std::optional<bool> button_enabled,
              bool box_names_the_file = false) {
  return FileFault{name,           std::move(files),        twist,          twisted_file,
                   files_received, std::move(expected), button_enabled, box_names_the_file};
}

std::vector<FileFault> file_faults() {
  const Expectation ends_short{{kTooShort}, {}, Ending::keeps_running};
  const Expectation cannot_open{{kCannotOpen}, {}, Ending::keeps_running};
  const Expectation ends_without_database{{kNoDatabase}, {}, Ending::exits};
  const Expectation finished{{kFinished}, {}, Ending::exits};
  return {
      row("zero_length_firmware", {{"firmware.cam", 3000}, {"image.cam", 3000}}, Twist::emptied, "firmware.cam", 0,
          ends_short, true),
      row("firmware_of_1027_bytes", {{"firmware.cam", 3}, {"image.cam", 3000}}, Twist::none, "", 0, ends_short,
          true),
      row("firmware_of_1027_bytes_not_flagged", {{"firmware.cam", 3, 0}, {"image.cam", 3000}}, Twist::none, "", 0,
          ends_short, true),
      row("firmware_of_1028_bytes_is_sent_whole", {{"firmware.cam", 4}, {"database.cam", 100}}, Twist::none, "", 2,
          finished, std::nullopt),
      row("zero_length_database_after_a_sent_file", {{"firmware.cam", 3000}, {"database.cam", 100}}, Twist::emptied,
          "database.cam", 1, ends_short, false),
      row("send_flags_0x80_and_0xff_are_sent_alike",
          {{"firmware.cam", 2500, 0x80}, {"image.cam", 2600, 0xFF}, {"database.cam", 50, 0x01}}, Twist::none, "", 3,
          finished, std::nullopt),
      row("folder_named_firmware", {{"image.cam", 3000}}, Twist::folder_instead, "firmware.cam", 0, cannot_open, true,
          true),
      row("folder_named_database_after_a_sent_file", {{"firmware.cam", 3000}}, Twist::folder_instead, "database.cam",
          1, ends_without_database, std::nullopt),
      row("image_held_open_by_another_program_after_a_sent_file", {{"firmware.cam", 3000}, {"database.cam", 100}},
          Twist::held_open, "image.cam", 1, cannot_open, false, true),
      row("database_held_open_by_another_program", {{"firmware.cam", 3000}}, Twist::held_open, "database.cam", 1,
          ends_without_database, std::nullopt),
  };
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultFiles, ::testing::ValuesIn(file_faults()),
                         [](const ::testing::TestParamInfo<FileFault>& info) { return std::string(info.param.name); });

// Connections to the device's out pipe held by the test, as another program might.
class HeldOutConnections {
 public:
  explicit HeldOutConnections(const std::string& device) {
    char name[sim::kMaxObjectNameLength];
    if (sim::object_name(sim::SimObject::out_pipe, device.c_str(), name)) name_ = name;
  }
  // Opens one more, waiting while the device offers no free instance.
  bool add() {
    UniqueHandle pipe;
    poll_until([&] {
      pipe.reset(::CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr));
      return pipe.valid();
    }, Millis{10000});
    if (!pipe) return false;
    held_.push_back(std::move(pipe));
    return true;
  }
  void release_one() {
    if (!held_.empty()) held_.pop_back();
  }
  int count() const { return static_cast<int>(held_.size()); }

 private:
  std::string name_;
  std::vector<UniqueHandle> held_;
};

// The file is cut between the header check and the load. The device's out pipe
// is kept busy, so the updater waits (up to 2 s) to open it for the transfer
// after the header check; the step text tells the check is over. The file is
// cut then, and only then is a connection freed for the updater.
TEST(FaultShrinkingFile, FileCutAfterItsHeaderCheckIsNotSentAndIsNamed) {
  constexpr int kDeviceConnections = 16;  // devsim serves no more on its out pipe
  UpdaterRig rig("fault-file-shrinks");
  rig.write_update_file("firmware.cam", 5000);
  ASSERT_TRUE(rig.start_device());
  ASSERT_TRUE(rig.start_updater_linked());
  DialogApp& app = rig.app();
  HeldOutConnections held(rig.device());
  while (held.count() < kDeviceConnections - 2) ASSERT_TRUE(held.add());

  ASSERT_TRUE(app.click(kUpdateButton));
  // The identification takes the next connection and keeps it; the test the last.
  ASSERT_TRUE(poll_until([&] { return rig.device_status().identify_requests == 1; }));
  ASSERT_TRUE(held.add());
  ASSERT_EQ(rig.device_status().out_clients, kDeviceConnections);
  ASSERT_TRUE(app.wait_for_text(kStepText, {msg(1027)})) << app.describe();

  const std::string path = rig.folder().file("firmware.cam");
  {
    UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.valid());
    LARGE_INTEGER size{};
    size.QuadPart = 1000;
    ASSERT_TRUE(::SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.get()));
  }
  held.release_one();

  EXPECT_TRUE(run_to_end(app, {{Shown{2007}}, {}, Ending::keeps_running}));
  EXPECT_TRUE(std::any_of(app.boxes_seen().begin(), app.boxes_seen().end(),
                          [&](const SeenBox& box) { return box.text.find("\n\n" + path) != std::string::npos; }))
      << app.describe();
  EXPECT_EQ(rig.capture(), tools::Bytes{0x40});
  EXPECT_TRUE(app.enabled(kUpdateButton));
  keep_screenshots_on_failure(app);
}

// The file is held in memory once, by the updater; the test streams it to disk
// and compares what the device got by size and hash. While it loads, the window
// answers within 5 s.
TEST(FaultLargeFile, TwoHundredMebibytesWithFlag0x80AreSentWhole) {
  constexpr std::uint64_t kPayload = 200ull << 20;
  UpdaterRig rig("fault-file-large");
  const std::optional<StreamDigest> expected =
      write_large_update_file(rig.folder().file("firmware.cam"), kPayload, 0x80, 77);
  ASSERT_TRUE(expected.has_value());
  ASSERT_TRUE(rig.start_update());
  DialogApp& app = rig.app();
  // From the step text on, the identification is over: the file loads, then goes out.
  ASSERT_TRUE(app.wait_for_text(kStepText, {msg(1027)})) << app.describe();
  int answers = 0;
  bool unanswered = false;
  ASSERT_TRUE(poll_until(
      [&] {
        DWORD_PTR result = 0;
        unanswered = ::SendMessageTimeoutW(app.main_dialog(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result) == 0;
        if (!unanswered) ++answers;
        return unanswered || rig.device_status().captured > 1 + 48;
      },
      Millis{120000}))
      << "the transfer never started: " << app.describe();
  EXPECT_FALSE(unanswered) << "the window did not answer within 5 s while the file loaded";
  std::printf("the window answered %d times while the file loaded\n", answers);
  // No database: the sequence ends with its message once the firmware has gone.
  EXPECT_TRUE(run_to_end(app, {{kNoDatabase}, {}, Ending::exits}, Millis{600000}));
  ASSERT_TRUE(poll_until([&] { return rig.device_status().captured >= expected->size; }, Millis{60000}));
  rig.device_command("flush");
  const std::optional<StreamDigest> got = digest_of_file(rig.capture_path());
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, *expected);
  keep_screenshots_on_failure(app);
}

}  // namespace
}  // namespace pw::e2e
