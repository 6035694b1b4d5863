// Transfer throughput through the simulated device: the updater's transfer
// worker (run_transfer over OverlappedPipe, on a pipe from the library's
// open_file) against a plain writer that pushes the same bytes through the same
// kind of pipe in the same 2048-byte chunks (WriteFile, then GetOverlappedResult
// waiting). Both run on a fresh thread and are timed from its start to its end.
// Each round runs both, their order alternating; each round gives one paired
// ratio, and the figures are the median, min and max of those.
//
//   bench_transfer [--payload-mib 32] [--rounds 15] [--rate BYTES_PER_SEC]
//                  [--with-reset-variant 1] [--with-bounded-wait-variant 1]
//                  [--with-bare-pipe 1] [--title TEXT]
//                  [--figures FILE]
//   bench_transfer --plain-process 1 [--payload-mib 16]
//       only the plain writer, once, to the device PUSHWELL_SIM_DEVICE names:
//       the baseline process another benchmark measures
#include <windows.h>
#include <process.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "device/pipe_library.h"
#include "sim/sim_control.h"
#include "update/transfer.h"
#include "update/transfer_worker_win.h"
#include "update/update_file.h"
#include "win/handles.h"
#include "win/overlapped_pipe.h"

namespace {

namespace sim = pw::sim;

class BenchHost final : public pw::TransferHost {
 public:
  void progressed(int) noexcept override {}
  void ended() noexcept override { ok = true; }
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

std::uint64_t wire_bytes(const std::vector<std::uint8_t>& file) {
  return pw::kCommandHeaderSize + (file.size() - pw::kHeaderBlockSize);
}

HANDLE open_out_pipe() {
  // As the updater does: load the library, open the pipe, free the library.
  const std::optional<HANDLE> pipe = pw::open_pipe_once(pw::kOutPipeName);
  if (!pipe || *pipe == INVALID_HANDLE_VALUE) bench::fail("open_file(\"PIPE00\") gave no pipe");
  return *pipe;
}

// Seconds for the updater's worker to send `file`, from the thread's start to its end.
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

// How the plain writer waits for each write: the plain way, or (to read a
// difference) with one more call before it, or as the worker waits.
enum class PlainWait { result, reset_event_first, bounded_slices };

struct PlainJob {
  const std::vector<std::uint8_t>* file = nullptr;
  HANDLE pipe = nullptr;
  PlainWait wait = PlainWait::result;
};

// The plain writer: the command header, then 2048-byte chunks, each written
// and waited for before the next.
unsigned __stdcall plain_writer_thread(void* param) {
  const PlainJob& job = *static_cast<const PlainJob*>(param);
  pw::UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  auto write = [&](const std::uint8_t* data, DWORD size) {
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = event.get();
    if (job.wait == PlainWait::reset_event_first) ::ResetEvent(event.get());
    DWORD moved = 0;
    const BOOL done = ::WriteFile(job.pipe, data, size, nullptr, &ov);
    if (!done && ::GetLastError() != ERROR_IO_PENDING)
      bench::fail("WriteFile failed, error " + std::to_string(::GetLastError()));
    if (!done && job.wait == PlainWait::bounded_slices) {
      // The worker's way: the write's event, 100 ms at a time, within 30 s.
      const ULONGLONG started = ::GetTickCount64();
      while (::WaitForSingleObject(event.get(), 100) == WAIT_TIMEOUT)
        if (::GetTickCount64() - started >= 30000) bench::fail("a plain write timed out");
    }
    if (!::GetOverlappedResult(job.pipe, &ov, &moved, TRUE) || moved != size)
      bench::fail("a plain write did not complete whole");
  };
  const std::vector<std::uint8_t>& file = *job.file;
  write(file.data(), static_cast<DWORD>(pw::kCommandHeaderSize));
  const std::uint8_t* payload = file.data() + pw::kHeaderBlockSize;
  const std::size_t payload_size = file.size() - pw::kHeaderBlockSize;
  for (std::size_t at = 0; at < payload_size; at += pw::kChunkSize)
    write(payload + at, static_cast<DWORD>(std::min<std::size_t>(pw::kChunkSize, payload_size - at)));
  return 0;
}

// Seconds for the plain writer on a fresh thread, as the worker runs, from
// the thread's start to its end.
double time_plain_writer(const std::vector<std::uint8_t>& file, HANDLE pipe, PlainWait wait) {
  PlainJob job{&file, pipe, wait};
  const double t0 = bench::now_seconds();
  pw::UniqueHandle thread(
      reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, &plain_writer_thread, &job, 0, nullptr)));
  if (!thread) bench::fail("no thread for the plain writer");
  ::WaitForSingleObject(thread.get(), INFINITE);
  return bench::now_seconds() - t0;
}

double run_plain_writer(const std::vector<std::uint8_t>& file, PlainWait wait = PlainWait::result) {
  pw::UniqueHandle pipe(open_out_pipe());
  return time_plain_writer(file, pipe.get(), wait);
}

// The floor any device reader meets here: the plain writer against a bare
// unbuffered pipe whose other end, a thread of this process, only reads.
double run_plain_writer_on_bare_pipe(const std::vector<std::uint8_t>& file) {
  static int serial = 0;
  const std::string name = "\\\\.\\pipe\\pushwell-bench-floor-" + std::to_string(::GetCurrentProcessId()) + "-" +
                           std::to_string(++serial);
  pw::UniqueHandle server(::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr));
  if (!server) bench::fail("CreateNamedPipe failed");
  pw::UniqueHandle client(
      ::CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  if (!client) bench::fail("the bare pipe could not be opened");
  struct Reader {
    HANDLE pipe;
    std::uint64_t expected;
    static unsigned __stdcall run(void* param) {
      const Reader& r = *static_cast<const Reader*>(param);
      std::vector<std::uint8_t> buffer(256 * 1024);
      pw::UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
      for (std::uint64_t got = 0; got < r.expected;) {
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        DWORD n = 0;
        if (!::ReadFile(r.pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &ov) &&
            ::GetLastError() != ERROR_IO_PENDING)
          return 1;
        if (!::GetOverlappedResult(r.pipe, &ov, &n, TRUE)) return 1;
        got += n;
      }
      return 0;
    }
  } reader{server.get(), wire_bytes(file)};
  pw::UniqueHandle reading(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, &Reader::run, &reader, 0, nullptr)));
  if (!reading) bench::fail("no reader thread");
  const double seconds = time_plain_writer(file, client.get(), PlainWait::result);
  ::WaitForSingleObject(reading.get(), INFINITE);
  return seconds;
}

double own_cpu_seconds() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) { return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

// The device must have read every byte of a run before the next starts. Returns
// the run's rate as the device saw it: bytes over first to last byte, MB/s.
double settle(const sim::DevsimProcess& devsim, std::uint64_t wire) {
  if (!sim::wait_for_status(devsim.device(), [&](const sim::Status& s) { return s.bytes_received >= wire; },
                            30000))
    bench::fail("the device did not receive every byte");
  sim::Status s;
  devsim.status(&s);
  if (s.bytes_received != wire)
    bench::fail("the device received " + std::to_string(s.bytes_received) + " bytes, not " + std::to_string(wire));
  const double device_seconds = static_cast<double>(s.last_byte_us - s.first_byte_us) / 1e6;
  if (!devsim.command("reset-counters")) bench::fail("reset-counters refused");
  // The closed connection must be gone so each run starts alike.
  sim::wait_for_status(devsim.device(), [](const sim::Status& st) { return st.out_clients == 0; }, 10000);
  return device_seconds > 0 ? static_cast<double>(wire) / device_seconds / 1e6 : 0.0;
}

int plain_process(double payload_mib) {
  const std::vector<std::uint8_t> file = make_file(static_cast<std::size_t>(payload_mib * 1024 * 1024));
  run_plain_writer(file);
  return 0;
}

struct Writer {
  const char* name;
  double (*run)(const std::vector<std::uint8_t>&);
  bool through_devsim;
  std::vector<double> rates;         // MB/s, bytes over the writer's own time
  std::vector<double> device_rates;  // MB/s, bytes over first to last byte at the device
  std::vector<double> cpu_shares;
};

void print_writers(const std::vector<Writer>& writers) {
  std::printf("| writer | median MB/s | min – max | median MB/s at the device | median CPU |\n"
              "| --- | ---: | ---: | ---: | ---: |\n");
  for (const Writer& w : writers)
    std::printf("| %s | %.2f | %.2f – %.2f | %s | %.1f%% |\n", w.name, bench::median(w.rates),
                bench::quantile(w.rates, 0), bench::quantile(w.rates, 1),
                w.device_rates.empty() ? "–" : bench::format("%.2f", bench::median(w.device_rates)).c_str(),
                bench::median(w.cpu_shares));
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const double payload_mib = bench::number_option(argc, argv, "--payload-mib", 32);
  if (bench::option(argc, argv, "--plain-process", "0") == "1") return plain_process(payload_mib);

  const int rounds = static_cast<int>(bench::number_option(argc, argv, "--rounds", 15));
  const double rate = bench::number_option(argc, argv, "--rate", 0);
  const std::string title = bench::option(argc, argv, "--title", "Transfer throughput");
  bench::Figures figures(bench::option(argc, argv, "--figures", ""));

  const std::string device = sim::unique_device_name("bench-xfer");
  ::SetEnvironmentVariableA("PUSHWELL_SIM_DEVICE", device.c_str());
  std::vector<std::string> args;
  if (rate > 0) args = {"--rate", std::to_string(static_cast<std::uint64_t>(rate))};
  sim::DevsimProcess devsim;
  if (!devsim.launch(device, args)) bench::fail("devsim.exe did not start");

  const std::vector<std::uint8_t> file = make_file(static_cast<std::size_t>(payload_mib * 1024 * 1024));
  const std::uint64_t wire = wire_bytes(file);

  // Warm-up: pages, pipe instances and thread start-up, untimed.
  {
    const std::vector<std::uint8_t> small = make_file(rate > 0 ? 64 * 1024 : 1024 * 1024);
    run_updater_transfer(small);
    settle(devsim, wire_bytes(small));
    run_plain_writer(small);
    settle(devsim, wire_bytes(small));
  }

  std::vector<Writer> writers = {
      {"updater transfer (run_transfer, OverlappedPipe, worker thread)",
       [](const std::vector<std::uint8_t>& f) { return run_updater_transfer(f); }, true, {}, {}, {}},
      {"plain WriteFile + GetOverlappedResult, 2048-byte chunks, fresh thread",
       [](const std::vector<std::uint8_t>& f) { return run_plain_writer(f); }, true, {}, {}, {}}};
  // For reading a difference: the plain writer plus one more call per write
  // (a ResetEvent, which WriteFile does itself).
  if (bench::option(argc, argv, "--with-reset-variant", "0") == "1")
    writers.push_back({"plain writer + ResetEvent before each write (diagnostic)",
                       [](const std::vector<std::uint8_t>& f) {
                         return run_plain_writer(f, PlainWait::reset_event_first);
                       },
                       true, {}, {}, {}});
  if (bench::option(argc, argv, "--with-bounded-wait-variant", "0") == "1")
    writers.push_back({"plain writer waiting as the worker does: its event in 100 ms slices, 30 s bound (diagnostic)",
                       [](const std::vector<std::uint8_t>& f) {
                         return run_plain_writer(f, PlainWait::bounded_slices);
                       },
                       true, {}, {}, {}});
  // For reading devsim's own figure: the same writer where no device logic runs.
  if (bench::option(argc, argv, "--with-bare-pipe", "0") == "1")
    writers.push_back({"plain writer to a bare pipe read by a thread of this process (the floor, no devsim)",
                       [](const std::vector<std::uint8_t>& f) { return run_plain_writer_on_bare_pipe(f); }, false, {},
                       {}, {}});

  std::vector<double> paired;  // updater / plain writer, one per round
  for (int round = 0; round < rounds; ++round) {
    std::vector<double> round_rates(writers.size());
    for (std::size_t turn = 0; turn < writers.size(); ++turn) {
      // Alternating: the updater goes first in even rounds, last in odd ones.
      const std::size_t index = round % 2 == 0 ? turn : writers.size() - 1 - turn;
      Writer& w = writers[index];
      const double cpu0 = own_cpu_seconds();
      const double seconds = w.run(file);
      const double cpu = own_cpu_seconds() - cpu0;
      if (w.through_devsim) w.device_rates.push_back(settle(devsim, wire));
      round_rates[index] = static_cast<double>(wire) / seconds / 1e6;
      w.rates.push_back(round_rates[index]);
      w.cpu_shares.push_back(100.0 * cpu / seconds);
    }
    paired.push_back(round_rates[0] / round_rates[1]);
    bench::note("round " + std::to_string(round + 1) + ": updater " + bench::format("%.2f MB/s", round_rates[0]) +
                ", plain " + bench::format("%.2f MB/s", round_rates[1]) + bench::format(", ratio %.3f", paired.back()));
  }
  devsim.stop();

  std::printf("### %s\n\n", title.c_str());
  std::printf("%.0f MiB payload (%llu bytes on the wire) to devsim at %s; %d rounds, each running every writer once, "
              "the order alternating. MB/s counts 10^6 bytes: the writer's figure is the bytes over its thread's "
              "life, the device's the bytes over first to last byte as the device saw them. CPU is this process's "
              "user + kernel time during the run, as a share of the run's wall time.\n\n",
              payload_mib, static_cast<unsigned long long>(wire),
              rate > 0 ? (bench::format("%.0f", rate) + " B/s").c_str() : "unlimited line rate", rounds);
  print_writers(writers);
  const bench::Spread ratio = bench::spread(paired);
  if (rate <= 0) {
    const double devsim_rate = bench::median(writers[1].device_rates);
    std::printf("- updater / plain writer, paired by round: median **%.3f** (min %.3f, max %.3f; target >= 0.98): "
                "%s\n",
                ratio.median, ratio.min, ratio.max, bench::verdict(ratio.median >= 0.98));
    std::printf("- devsim throughput (the plain writer's bytes over first to last byte at the device): **%.1f MB/s** "
                "(target >= 53.2): %s\n\n",
                devsim_rate, bench::verdict(devsim_rate >= 53.2));
    for (const Writer& w : writers)
      if (!w.through_devsim)
        std::printf("- devsim against the floor of a bare pipe on this machine: %.3f of the floor's %.1f MB/s\n\n",
                    devsim_rate / bench::median(w.rates), bench::median(w.rates));
    figures.add("throughput_ratio", ratio.median);
    figures.add("devsim_mb_s", devsim_rate);
  } else {
    const double line = rate / 1e6;
    std::vector<double> line_ratios;
    for (double r : writers[0].device_rates) line_ratios.push_back(r / line);
    const bench::Spread updater_line = bench::spread(line_ratios);
    std::printf("- transfer / line rate (the updater's bytes over first to last byte at the device, over the rate): "
                "median **%.4f** (min %.4f, max %.4f; target 0.98 to 1.00): %s\n",
                updater_line.median, updater_line.min, updater_line.max,
                bench::verdict(updater_line.median >= 0.98 && updater_line.max <= 1.0));
    std::printf("- plain writer / line rate: %.4f; updater / plain writer, paired by round: %.3f (%.3f – %.3f)\n\n",
                bench::median(writers[1].device_rates) / line, ratio.median, ratio.min, ratio.max);
    figures.add("line_ratio", updater_line.median);
  }
  return 0;
}
