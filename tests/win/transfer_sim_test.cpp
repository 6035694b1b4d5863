// The transfer worker against the simulated device: what the device captured
// must be exactly what a sent file puts on the wire.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_control.h"
#include "sim/sim_names.h"
#include "update/transfer_worker_win.h"
#include "win/overlapped_pipe.h"

namespace {

using pw::TransferOutcome;
using pw::UniqueHandle;
namespace sim = pw::sim;

class Host final : public pw::TransferHost {
 public:
  void progressed(int position) noexcept override { last_progress = position; }
  void ended() noexcept override { ++ends; }
  int last_progress = 0;
  int ends = 0;
};

UniqueHandle open_out_pipe(const std::string& device) {
  char name[sim::kMaxObjectNameLength];
  if (!sim::object_name(sim::SimObject::out_pipe, device.c_str(), name)) return UniqueHandle();
  return UniqueHandle(::CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
}

// A sent file of `payload` bytes over `out_pipe`, and the wire image it must give.
struct Loaded {
  std::unique_ptr<pw::TransferJob> job = std::make_unique<pw::TransferJob>();
  std::vector<std::uint8_t> wire;
};

Loaded load(std::uint32_t payload, UniqueHandle out_pipe) {
  std::vector<std::uint8_t> file(1024 + payload);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 29 + i / 1000);
  file[0] = 0x24;
  file[1] = 0x01;
  Loaded loaded;
  loaded.job->file.reset(new std::uint8_t[file.size()]);
  std::copy(file.begin(), file.end(), loaded.job->file.get());
  loaded.job->file_size = static_cast<std::uint32_t>(file.size());
  loaded.job->out_pipe = std::make_unique<pw::OverlappedPipe>(std::move(out_pipe));
  loaded.wire.assign(file.begin(), file.begin() + 48);
  loaded.wire.insert(loaded.wire.end(), file.begin() + 1024, file.end());
  return loaded;
}

struct WorkerRun {
  TransferOutcome outcome = TransferOutcome::none;
  std::uint32_t bytes_sent = 0;
  int result = -1;
  std::chrono::milliseconds elapsed{};
  bool ended = false;
};

WorkerRun transfer(std::unique_ptr<pw::TransferJob> job, const pw::TransferTimeouts& timeouts, DWORD limit_ms) {
  Host host;
  WorkerRun run;
  const auto t0 = std::chrono::steady_clock::now();
  const std::unique_ptr<pw::TransferWorker> worker = pw::TransferWorker::start(std::move(job), host, timeouts);
  if (!worker) return run;
  run.ended = ::WaitForSingleObject(worker->thread(), limit_ms) == WAIT_OBJECT_0;
  if (!run.ended) {
    worker->request_stop();
    ::WaitForSingleObject(worker->thread(), INFINITE);
  }
  run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  run.outcome = worker->outcome();
  run.bytes_sent = worker->bytes_sent();
  // Told once, after the outcome was stored.
  run.result = host.ends == 1 ? (run.outcome == TransferOutcome::sent ? 1 : 0) : -1;
  return run;
}

struct RateCase {
  const char* name;
  std::uint32_t rate;  // bytes per second, 0 = unlimited
  std::uint32_t payload;
};

class TransferToSimulatedDevice : public ::testing::TestWithParam<RateCase> {};

TEST_P(TransferToSimulatedDevice, CaptureHoldsExactlyTheWireImage) {
  const RateCase& c = GetParam();
  const std::string device = sim::unique_device_name(std::string("xfer-") + c.name);
  const std::string capture = sim::temp_file_path("xfer-capture");
  std::vector<std::string> args{"--capture", capture};
  if (c.rate) args.insert(args.end(), {"--rate", std::to_string(c.rate)});
  sim::DevsimProcess devsim;
  ASSERT_TRUE(devsim.launch(device, args));
  UniqueHandle out = open_out_pipe(device);
  ASSERT_TRUE(out) << ::GetLastError();
  Loaded loaded = load(c.payload, std::move(out));
  const std::vector<std::uint8_t>& wire = loaded.wire;

  const WorkerRun run = transfer(std::move(loaded.job), {}, 120000);

  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.outcome, TransferOutcome::sent);
  EXPECT_EQ(run.result, 1);
  // The worker's last write completed when devsim read it; the capture follows.
  EXPECT_TRUE(sim::wait_for_status(device, [&](const sim::Status& s) { return s.captured >= wire.size(); }, 30000));
  EXPECT_EQ(sim::read_file_bytes(capture), wire);
  if (c.rate) {
    // Well under the time the line needs, so a busy machine cannot fail it, but
    // far above what an unthrottled run takes.
    EXPECT_GE(run.elapsed.count(), 1000LL * c.payload / c.rate / 2);
  }
  devsim.stop();
  ::DeleteFileA(capture.c_str());
}

INSTANTIATE_TEST_SUITE_P(LineRates, TransferToSimulatedDevice,
                         ::testing::Values(RateCase{"Unlimited", 0, 300000}, RateCase{"Limited", 200000, 150000}),
                         [](const ::testing::TestParamInfo<RateCase>& i) { return std::string(i.param.name); });

struct FaultCase {
  const char* name;
  const char* option;
};

class TransferToFailingDevice : public ::testing::TestWithParam<FaultCase> {};

TEST_P(TransferToFailingDevice, EndsAsFailedWithinTheTimeouts) {
  const FaultCase& c = GetParam();
  const std::string device = sim::unique_device_name(std::string("xfer-") + c.name);
  sim::DevsimProcess devsim;
  ASSERT_TRUE(devsim.launch(device, {c.option, "20000"}));
  UniqueHandle out = open_out_pipe(device);
  ASSERT_TRUE(out) << ::GetLastError();
  Loaded loaded = load(200000, std::move(out));
  pw::TransferTimeouts timeouts;
  timeouts.header_wait_ms = 500;
  timeouts.chunk_wait_ms = 500;

  const WorkerRun run = transfer(std::move(loaded.job), timeouts, 60000);

  EXPECT_TRUE(run.ended) << "the worker hung";
  EXPECT_EQ(run.outcome, TransferOutcome::failed);
  EXPECT_EQ(run.result, 0);
  // Writes complete once the pipe's 4 KiB buffer holds them, read or not.
  EXPECT_LE(run.bytes_sent, 20000u + 4096u);
  devsim.stop();
}

INSTANTIATE_TEST_SUITE_P(Faults, TransferToFailingDevice,
                         ::testing::Values(FaultCase{"Stall", "--stall-after"}, FaultCase{"Unplug", "--unplug-after"},
                                           FaultCase{"Drop", "--fail-after"}),
                         [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

TEST(TransferToStalledDevice, CancellingItsIoEndsTheWorkerLongBeforeItsTimeouts) {
  const std::string device = sim::unique_device_name("xfer-cancel");
  sim::DevsimProcess devsim;
  ASSERT_TRUE(devsim.launch(device, {"--stall-after", "20000"}));
  UniqueHandle out = open_out_pipe(device);
  ASSERT_TRUE(out) << ::GetLastError();
  Loaded loaded = load(200000, std::move(out));
  Host host;

  const std::unique_ptr<pw::TransferWorker> worker =
      pw::TransferWorker::start(std::move(loaded.job), host);  // 30 s chunk waits
  ASSERT_TRUE(worker);
  EXPECT_TRUE(sim::wait_for_status(device, [](const sim::Status& s) { return s.stalled; }, 30000));
  const auto t0 = std::chrono::steady_clock::now();
  worker->request_stop();
  const bool ended = ::WaitForSingleObject(worker->thread(), 60000) == WAIT_OBJECT_0;
  const auto elapsed = std::chrono::steady_clock::now() - t0;

  EXPECT_TRUE(ended);
  EXPECT_LT(elapsed, std::chrono::seconds(15));
  EXPECT_EQ(worker->outcome(), TransferOutcome::failed);
  EXPECT_EQ(host.ends, 1);
  EXPECT_EQ(worker->outcome(), TransferOutcome::failed);
  if (!ended) ::WaitForSingleObject(worker->thread(), INFINITE);
  devsim.stop();
}

}  // namespace
