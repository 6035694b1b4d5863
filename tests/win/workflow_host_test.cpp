// The workflow's host against the simulated device: however the process ends,
// a running worker is stopped and waited for before its memory goes, and a stop
// asked before the first byte of a file sends nothing of it.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "host/workflow_host.h"
#include "sim/sim_control.h"
#include "tools/cam_builder.h"

namespace {

namespace sim = pw::sim;

// Hears the workflow, answers every question with "end", and hands the test's window over.
class StandInFrontend final : public pw::ProgramFace {
 public:
  HWND window = nullptr;
  void another_updater_runs() noexcept override {}
  bool open_window(pw::WorkflowHost& host) noexcept override { return host.attach(window); }
  void close_refused() noexcept override {}
  void close_now() noexcept override {}
  void command_begins() noexcept override {}
  void linked(bool) noexcept override {}
  void files_begin() noexcept override {}
  void step_begins(std::size_t, const char*, const std::string&) noexcept override {}
  void transfer_begins(std::size_t, std::uint32_t) noexcept override {}
  void file_progress(std::size_t, int) noexcept override {}
  void file_result(std::size_t, pw::FileOutcome, std::uint32_t) noexcept override {}
  bool message(const std::string&, pw::MessageStyle) noexcept override { return true; }
  bool device_lost(const std::string&) noexcept override { return true; }
  void installer_wanted(const std::string&) noexcept override {}
  void command_ended(pw::CommandEnd, pw::CommandResult) noexcept override {}
};

class HostAgainstDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    device_ = sim::unique_device_name(std::string("host.") + info->name());
    env_ = std::make_unique<sim::ScopedEnvironmentVariable>("PUSHWELL_SIM_DEVICE", device_.c_str());
    capture_ = sim::temp_file_path("host-capture");
    folder_ = sim::temp_file_path("host-folder");
    ASSERT_TRUE(::CreateDirectoryA(folder_.c_str(), nullptr));
    WNDCLASSW wc{};
    wc.lpfnWndProc = &::DefWindowProcW;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PushwellHostTest";
    ::RegisterClassW(&wc);
    window_.reset(::CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
                                    wc.hInstance, nullptr));
    ASSERT_TRUE(window_);
  }
  void TearDown() override {
    host_.reset();
    window_.reset();
    devsim_.stop();
    ::DeleteFileA(capture_.c_str());
    ::DeleteFileA((folder_ + "\\firmware.cam").c_str());
    ::RemoveDirectoryA(folder_.c_str());
  }

  // A firmware file of `payload` bytes in the folder; what the device gets of it.
  pw::tools::Bytes write_firmware(std::size_t payload) {
    const pw::tools::Bytes file =
        pw::tools::build_update_file(pw::tools::CamFields{}, pw::tools::generated_payload(payload, 7));
    const std::string path = folder_ + "\\firmware.cam";
    pw::UniqueHandle out(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(out.get(), file.data(), static_cast<DWORD>(file.size()), &written, nullptr));
    return pw::tools::device_stream(file);
  }

  // The device, the host on this thread's window, linked, and the command started.
  void start_update(const std::vector<std::string>& device_args) {
    std::vector<std::string> args{"--capture", capture_};
    args.insert(args.end(), device_args.begin(), device_args.end());
    ASSERT_TRUE(devsim_.launch(device_, args));
    host_ = std::make_unique<pw::WorkflowHost>("win_tests", pw::ProcessEnd::leave_loop);
    frontend_.window = window_.get();
    pw::RunOptions options;
    options.folder = folder_;
    options.lock_only_looked_at = true;
    options.first_check_waits = true;
    ASSERT_EQ(host_->run(options, frontend_), pw::RunEnd::linked);
    host_->start_update();
  }

  // Serves this thread's messages until `condition` or the deadline.
  bool serve_until(const std::function<bool()>& condition) {
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    while (!condition()) {
      if (::GetTickCount64() >= deadline) return false;
      MSG msg;
      while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
  }

  std::vector<std::uint8_t> captured() {
    EXPECT_TRUE(devsim_.command("flush"));
    return sim::read_file_bytes(capture_);
  }

  std::string device_, capture_, folder_;
  std::unique_ptr<sim::ScopedEnvironmentVariable> env_;
  sim::DevsimProcess devsim_;
  pw::UniqueWindow window_;
  StandInFrontend frontend_;
  std::unique_ptr<pw::WorkflowHost> host_;
};

// The process ends (a lost device answered "end", the console closing) while
// the worker is still in the driver's pipe open: nothing of the file goes out.
TEST_F(HostAgainstDevice, AnEndBeforeTheFirstByteOfAFileSendsNothingOfIt) {
  write_firmware(200000);
  // The identification's open is the first; the firmware's, the second, is slow.
  start_update({"--slow-open", "1500", "--slow-open-from", "2"});
  ASSERT_TRUE(serve_until([&] { return host_->transfer_running(); }));
  host_.reset();
  EXPECT_TRUE(sim::wait_for_status(device_, [](const sim::Status& s) { return s.out_pipe_opens >= 2; }, 15000));
  EXPECT_EQ(captured(), std::vector<std::uint8_t>{0x40}) << "only the identification byte";
}

// The host goes while a file goes out at a slow rate: it returns only once the
// worker has ended, and the device gets nothing more than the pipe already held.
TEST_F(HostAgainstDevice, GoesOnlyOnceTheTransferUnderWayHasEnded) {
  const pw::tools::Bytes stream = write_firmware(400000);
  start_update({"--rate", "40000"});
  ASSERT_TRUE(serve_until([&] {
    sim::Status now;
    return devsim_.status(&now) && now.bytes_received > 8000;
  }));
  host_.reset();
  // The worker's last act, its end report, is already queued for the window.
  MSG ended;
  EXPECT_TRUE(::PeekMessageW(&ended, window_.get(), WM_APP, WM_APP + 0x7F, PM_NOREMOVE));
  sim::Status at_end;
  ASSERT_TRUE(devsim_.status(&at_end));
  EXPECT_TRUE(sim::wait_for_status(device_, [](const sim::Status& s) { return s.out_clients == 0; }, 15000));
  sim::Status later;
  ASSERT_TRUE(devsim_.status(&later));
  EXPECT_LE(later.bytes_received, at_end.bytes_received + 4096) << "no more than the pipe's buffer";
  EXPECT_LT(later.bytes_received, stream.size() + 1);
}

}  // namespace
