// Transfer throughput through the simulated device: the updater's transfer
// worker (run_transfer over OverlappedPipe, on a pipe from the library's
// open_file) against a plain writer that pushes the same bytes through the same
// kind of pipe in the same 2048-byte chunks (WriteFile, then GetOverlappedResult
// waiting). The writers take turns, their order rotating each round; medians
// are compared, with each run's CPU share of this process.
//
//   bench_transfer [--payload-mib 32] [--rounds 5] [--rate BYTES_PER_SEC]
//                  [--with-reset-variant 1] [--title TEXT]
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "device/pipe_library.h"
#include "sim/sim_control.h"
#include "update/transfer.h"
#include "update/transfer_worker_win.h"
#include "win/overlapped_pipe.h"
#include "update/update_file.h"
#include "win/handles.h"

namespace {

namespace sim = pw::sim;

class BenchHost final : public pw::TransferHost {
 public:
  void disable_update_button() override {}
  void set_progress(int) override {}
  void set_result_text(bool succeeded) override { ok = succeeded; }
  bool ok = false;
};

// A sent update file: marker, flag, a command header, filler, then the payload.
std::vector<std::uint8_t> make_file(std::size_t payload) {
  std::vector<std::uint8_t> file(pw::kHeaderBlockSize + payload);
  std::uint32_t x = 0x9E3779B9u;
  for (auto& b : file) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  file[0] = pw::kHeaderMarker;
  file[1] = 1;
  return file;
}

HANDLE open_out_pipe() {
  // As the updater does: load the library, open the pipe, free the library.
  const std::optional<HANDLE> pipe = pw::open_pipe_once(pw::kOutPipeName);
  if (!pipe || *pipe == INVALID_HANDLE_VALUE) bench::fail("open_file(\"PIPE00\") gave no pipe");
  return *pipe;
}

// Seconds for the updater's worker to send `file`.
double run_updater_transfer(const std::vector<std::uint8_t>& file) {
  auto job = std::make_unique<pw::TransferJob>();
  job->file.reset(new (std::nothrow) std::uint8_t[file.size()]);
  if (!job->file) bench::fail("out of memory");
  std::memcpy(job->file.get(), file.data(), file.size());
  job->file_size = static_cast<std::uint32_t>(file.size());
  job->out_pipe = std::make_unique<pw::OverlappedPipe>(pw::UniqueHandle(open_out_pipe()));

  BenchHost host;
  const double t0 = bench::now_seconds();
  const std::unique_ptr<pw::TransferWorker> worker = pw::TransferWorker::start(std::move(job), host);
  if (!worker) bench::fail("no transfer worker");
  ::WaitForSingleObject(worker->thread(), INFINITE);
  const double elapsed = bench::now_seconds() - t0;
  if (!host.ok || worker->outcome() != pw::TransferOutcome::sent) bench::fail("the transfer failed");
  return elapsed;
}

// Seconds for the plain writer: the command header, then 2048-byte chunks, each
// written and waited for before the next.
double run_plain_writer(const std::vector<std::uint8_t>& file, bool reset_event = false) {
  pw::UniqueHandle pipe(open_out_pipe());
  pw::UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  auto write = [&](const std::uint8_t* data, DWORD size) {
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = event.get();
    if (reset_event) ::ResetEvent(event.get());
    DWORD moved = 0;
    if (!::WriteFile(pipe.get(), data, size, nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING)
      bench::fail("WriteFile failed, error " + std::to_string(::GetLastError()));
    if (!::GetOverlappedResult(pipe.get(), &ov, &moved, TRUE) || moved != size)
      bench::fail("a plain write did not complete whole");
  };
  const double t0 = bench::now_seconds();
  write(file.data(), static_cast<DWORD>(pw::kCommandHeaderSize));
  const std::uint8_t* payload = file.data() + pw::kHeaderBlockSize;
  const std::size_t payload_size = file.size() - pw::kHeaderBlockSize;
  for (std::size_t at = 0; at < payload_size; at += pw::kChunkSize)
    write(payload + at, static_cast<DWORD>(std::min<std::size_t>(pw::kChunkSize, payload_size - at)));
  return bench::now_seconds() - t0;
}

double own_cpu_seconds() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) { return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

// The device must have read every byte of a run before the next starts.
void settle(const sim::DevsimProcess& devsim, std::uint64_t wire_bytes) {
  if (!sim::wait_for_status(devsim.device(), [&](const sim::Status& s) { return s.bytes_received >= wire_bytes; },
                            30000))
    bench::fail("the device did not receive every byte");
  sim::Status s;
  devsim.status(&s);
  if (s.bytes_received != wire_bytes) bench::fail("the device received " + std::to_string(s.bytes_received) +
                                                  " bytes, not " + std::to_string(wire_bytes));
  if (!devsim.command("reset-counters")) bench::fail("reset-counters refused");
  // The closed connection must be gone so each run starts alike.
  sim::wait_for_status(devsim.device(), [](const sim::Status& st) { return st.out_clients == 0; }, 10000);
}

}  // namespace

int main(int argc, char** argv) {
  const double payload_mib = bench::number_option(argc, argv, "--payload-mib", 32);
  const int rounds = static_cast<int>(bench::number_option(argc, argv, "--rounds", 5));
  const double rate = bench::number_option(argc, argv, "--rate", 0);
  const std::string title = bench::option(argc, argv, "--title", "Transfer throughput");

  const std::string device = sim::unique_device_name("bench-xfer");
  ::SetEnvironmentVariableA("PUSHWELL_SIM_DEVICE", device.c_str());
  std::vector<std::string> args;
  if (rate > 0) args = {"--rate", std::to_string(static_cast<std::uint64_t>(rate))};
  sim::DevsimProcess devsim;
  if (!devsim.launch(device, args)) bench::fail("devsim.exe did not start");

  const std::vector<std::uint8_t> file = make_file(static_cast<std::size_t>(payload_mib * 1024 * 1024));
  const std::uint64_t wire = pw::kCommandHeaderSize + (file.size() - pw::kHeaderBlockSize);

  // Warm-up: pages, pipe instances and thread start-up, untimed.
  {
    const std::vector<std::uint8_t> small = make_file(rate > 0 ? 64 * 1024 : 1024 * 1024);
    const std::uint64_t small_wire = pw::kCommandHeaderSize + (small.size() - pw::kHeaderBlockSize);
    run_updater_transfer(small);
    settle(devsim, small_wire);
    run_plain_writer(small);
    settle(devsim, small_wire);
  }

  struct Writer {
    const char* name;
    double (*run)(const std::vector<std::uint8_t>&);
    std::vector<double> rates;
    std::vector<double> cpu_shares;
  };
  std::vector<Writer> writers = {
      {"updater transfer (run_transfer, OverlappedPipe, worker thread)",
       [](const std::vector<std::uint8_t>& f) { return run_updater_transfer(f); }, {}, {}},
      {"plain WriteFile + GetOverlappedResult, 2048-byte chunks",
       [](const std::vector<std::uint8_t>& f) { return run_plain_writer(f); }, {}, {}}};
  // For reading the difference: the plain writer plus one more call per write
  // (a ResetEvent, which WriteFile does itself).
  if (bench::option(argc, argv, "--with-reset-variant", "0") == "1")
    writers.push_back({"plain writer + ResetEvent before each write (diagnostic)",
                       [](const std::vector<std::uint8_t>& f) { return run_plain_writer(f, true); }, {}, {}});

  for (int round = 0; round < rounds; ++round) {
    for (std::size_t turn = 0; turn < writers.size(); ++turn) {
      Writer& w = writers[(round + turn) % writers.size()];
      const double cpu0 = own_cpu_seconds();
      const double seconds = w.run(file);
      const double cpu = own_cpu_seconds() - cpu0;
      settle(devsim, wire);
      w.rates.push_back(static_cast<double>(wire) / seconds / 1e6);
      w.cpu_shares.push_back(100.0 * cpu / seconds);
      bench::note(std::string(w.name) + ", round " + std::to_string(round + 1) + ": " +
                  bench::format("%.2f MB/s", w.rates.back()) + bench::format(", CPU %.1f%%", w.cpu_shares.back()));
    }
  }
  devsim.stop();

  std::printf("### %s\n\n", title.c_str());
  std::printf("%.0f MiB payload (%llu bytes on the wire) to devsim at %s; %d rounds, the order of the writers "
              "rotating each round; medians. MB/s counts 10^6 bytes. CPU is this process's user + kernel time "
              "during the run, as a share of the run's wall time.\n\n",
              payload_mib, static_cast<unsigned long long>(wire),
              rate > 0 ? (bench::format("%.0f", rate) + " B/s").c_str() : "unlimited line rate", rounds);
  std::printf("| writer | median MB/s | every round MB/s | median CPU |\n| --- | ---: | --- | ---: |\n");
  for (const Writer& w : writers)
    std::printf("| %s | %.3f | %s | %.1f%% |\n", w.name, bench::median(w.rates), bench::join(w.rates, "%.2f").c_str(),
                bench::median(w.cpu_shares));
  std::printf("\n");
  const double updater = bench::median(writers[0].rates);
  const double plain = bench::median(writers[1].rates);
  const double ratio = plain > 0 ? updater / plain : 0;
  if (rate <= 0) {
    std::printf("- transfer / plain writer: **%.3f** (target >= 0.95): %s\n", ratio, bench::verdict(ratio >= 0.95));
  } else {
    const double line = rate / 1e6;
    std::printf("- transfer / line rate: **%.3f** (target >= 0.98): %s\n", updater / line,
                bench::verdict(updater / line >= 0.98));
    std::printf("- plain writer / line rate: %.3f; transfer / plain writer: %.3f\n", plain / line, ratio);
  }
  std::printf("\n");
  return 0;
}
