// The real Pushwell.exe driven from outside against the simulated device, with
// one firmware file in its folder:
//   cpu      CPU time of the updater's process while the file is sent, as a share
//            of the transfer's wall time (GetProcessTimes at the first and the
//            last byte the device reads)
//   respond  how long the dialog takes to answer a sent message while the file
//            is sent (SendMessageTimeout WM_NULL, timed from here)
//   memory   peak memory for files of several sizes, less the figure the same
//            process showed idle before the button was pressed
//
//   bench_updater cpu     [--payload-mib 16] [--rate 1200000] [--runs 3]
//   bench_updater respond [--payload-mib 16] [--rate 1200000] [--runs 2]
//   bench_updater memory  [--sizes 1,64,256]
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "sim/sim_control.h"
#include "tests/e2e/driver.h"
#include "update/update_file.h"

namespace {

namespace e2e = pw::e2e;
namespace sim = pw::sim;
using e2e::Millis;

constexpr int kUpdateButton = 1000;
constexpr int kLinkStatus = 1002;
constexpr double kMiB = 1024.0 * 1024.0;

std::string message_text(int key) {
  return e2e::read_profile_string(e2e::join_path(e2e::bin_folder(), e2e::kLangIni), "message", std::to_string(key));
}

// Writes a sent update file of `payload` bytes in pieces, so even a large one
// never sits whole in this process.
bool write_firmware(const std::string& path, std::size_t payload) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(pw::kHeaderBlockSize, static_cast<char>(0xA5));
  block[0] = static_cast<char>(pw::kHeaderMarker);
  block[1] = 1;
  out.write(block.data(), static_cast<std::streamsize>(block.size()));
  block.assign(1 << 20, 0);
  std::uint32_t x = 12345;
  for (char& c : block) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  for (std::size_t left = payload; left > 0;) {
    const std::size_t n = std::min(left, block.size());
    out.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  return static_cast<bool>(out);
}

std::uint64_t filetime_100ns(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// User plus kernel time of a process, in seconds.
double cpu_seconds(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) bench::fail("GetProcessTimes failed");
  return static_cast<double>(filetime_100ns(kernel) + filetime_100ns(user)) / 1e7;
}

// User plus kernel seconds of every thread of process `pid` that can be read.
std::map<DWORD, double> thread_cpu_seconds(DWORD pid) {
  std::map<DWORD, double> times;
  pw::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return times;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != pid) continue;
    pw::UniqueHandle thread(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
    FILETIME created, exited, kernel, user;
    if (thread && ::GetThreadTimes(thread.get(), &created, &exited, &kernel, &user))
      times[entry.th32ThreadID] = static_cast<double>(filetime_100ns(kernel) + filetime_100ns(user)) / 1e7;
  }
  return times;
}

PROCESS_MEMORY_COUNTERS memory_of(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!::GetProcessMemoryInfo(process, &counters, sizeof counters)) bench::fail("GetProcessMemoryInfo failed");
  return counters;
}

// One updater with one firmware file, and a device of its own.
class Session {
 public:
  Session(const std::string& label, std::size_t payload, std::uint64_t rate)
      : folder_(label), device_(sim::unique_device_name(label)), wire_(1 + pw::kCommandHeaderSize + payload) {
    if (!folder_.ok()) bench::fail("no scratch folder");
    if (!write_firmware(folder_.file("firmware.cam"), payload)) bench::fail("could not write firmware.cam");
    std::vector<std::string> args;
    if (rate > 0) args = {"--rate", std::to_string(rate)};
    devsim_.set_output_file(folder_.file("devsim.log"));
    if (!devsim_.launch(device_, args)) bench::fail("devsim.exe did not start");
    e2e::LaunchOptions options;
    options.current_directory = folder_.path();
    options.environment = {{"PUSHWELL_SIM_DEVICE", device_},
                           {"PUSHWELL_SIM_INSTALLER_LOG", folder_.file("installer.log")}};
    if (!app_.start(e2e::join_path(e2e::bin_folder(), e2e::kUpdaterExe), options))
      bench::fail("Pushwell.exe did not start: " + app_.process().error());
    if (!app_.wait_for_main_dialog()) bench::fail("no main dialog");
    if (!app_.wait_for_text(kLinkStatus, {message_text(1024)})) bench::fail("the updater never saw the device");
  }

  ~Session() {
    app_.process().kill();
    devsim_.stop();
  }

  HANDLE process() const { return app_.process().handle(); }
  HWND dialog() const { return app_.main_dialog(); }
  // Bytes the device reads: the identify byte, the command header, the payload.
  std::uint64_t wire_bytes() const { return wire_; }

  void press_update() {
    if (!app_.click(kUpdateButton)) bench::fail("the update button could not be pressed");
  }

  std::uint64_t received() const {
    sim::Status status;
    return devsim_.status(&status) ? status.bytes_received : 0;
  }

  // Polls the device until the transfer's first byte has arrived (past the identify byte).
  void wait_transfer_start() {
    if (!sim::wait_until([&] { return received() > 1; }, 60000, 1)) bench::fail("the transfer never started");
  }
  bool transfer_complete() const { return received() >= wire_; }

  // The box that ends a command whose last file was absent: the transfer went.
  void finish() {
    HWND box = app_.wait_for_message_box(message_text(1035), Millis{600000});
    if (!box) bench::fail("the updater did not finish: " + app_.describe());
    if (received() != wire_) bench::fail("the device received a different byte count");
    app_.answer(box);
    app_.wait_for_exit();
  }

  HWND finishing_box() { return app_.wait_for_message_box(message_text(1035), Millis{600000}); }

 private:
  e2e::ScratchFolder folder_;
  std::string device_;
  std::uint64_t wire_;
  sim::DevsimProcess devsim_;
  e2e::DialogApp app_;
};

void measure_cpu(double payload_mib, std::uint64_t rate, int runs) {
  struct Run {
    double wall, cpu, window_thread, other_threads;
  };
  std::vector<Run> results;
  std::vector<double> shares;
  for (int run = 0; run < runs; ++run) {
    Session session("bench-cpu", static_cast<std::size_t>(payload_mib * kMiB), rate);
    const DWORD pid = ::GetProcessId(session.process());
    const DWORD window_thread = ::GetWindowThreadProcessId(session.dialog(), nullptr);
    session.press_update();
    session.wait_transfer_start();
    const double t0 = bench::now_seconds();
    const double cpu0 = cpu_seconds(session.process());
    const std::map<DWORD, double> threads0 = thread_cpu_seconds(pid);
    // Watching from here costs the updater nothing: only the device is asked.
    if (!sim::wait_until([&] { return session.transfer_complete(); }, 600000, 5))
      bench::fail("the transfer did not complete");
    const double cpu1 = cpu_seconds(session.process());
    const std::map<DWORD, double> threads1 = thread_cpu_seconds(pid);
    const double wall = bench::now_seconds() - t0;
    session.finish();

    // The worker has usually ended by the last sample, so the other threads are
    // the process's time less the window thread's.
    Run r{wall, cpu1 - cpu0, 0, 0};
    const auto before = threads0.find(window_thread);
    const auto after = threads1.find(window_thread);
    if (before != threads0.end() && after != threads1.end()) r.window_thread = after->second - before->second;
    r.other_threads = r.cpu - r.window_thread;
    results.push_back(r);
    shares.push_back(100.0 * r.cpu / wall);
    bench::note("cpu run " + std::to_string(run + 1) + ": " + bench::format("%.3f s CPU", r.cpu) + " in " +
                bench::format("%.2f s", wall) + " = " + bench::format("%.2f%%", shares.back()) +
                bench::format(" (window thread %.3f s", r.window_thread) +
                bench::format(", other threads %.3f s)", r.other_threads));
  }
  const double share = bench::median(shares);
  std::printf("### c. CPU time of the updater during a transfer\n\n");
  std::printf("Pushwell.exe sends one %.0f MiB firmware.cam to devsim at %llu B/s; GetProcessTimes (user + kernel, "
              "every thread) on its process when the device has read the first and the last payload byte. The "
              "split by thread comes from GetThreadTimes. %d runs.\n\n",
              payload_mib, static_cast<unsigned long long>(rate), runs);
  std::printf("| run | transfer wall s | process CPU s | share | window thread CPU s | other threads CPU s |\n"
              "| ---: | ---: | ---: | ---: | ---: | ---: |\n");
  for (std::size_t i = 0; i < results.size(); ++i)
    std::printf("| %zu | %.2f | %.3f | %.2f%% | %.3f | %.3f |\n", i + 1, results[i].wall, results[i].cpu, shares[i],
                results[i].window_thread, results[i].other_threads);
  std::printf("\n- median CPU share: **%.2f%%** (target <= 5%%): %s\n\n", share, bench::verdict(share <= 5.0));
}

void measure_responsiveness(double payload_mib, std::uint64_t rate, int runs) {
  std::vector<double> samples_ms;
  int timeouts = 0;
  for (int run = 0; run < runs; ++run) {
    Session session("bench-respond", static_cast<std::size_t>(payload_mib * kMiB), rate);
    session.press_update();
    session.wait_transfer_start();
    double next_status = 0;
    bool complete = false;
    while (!complete) {
      DWORD_PTR result = 0;
      const double t0 = bench::now_seconds();
      const LRESULT answered =
          ::SendMessageTimeoutA(session.dialog(), WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result);
      const double ms = (bench::now_seconds() - t0) * 1000.0;
      if (!answered) ++timeouts;
      samples_ms.push_back(ms);
      // The device is asked less often than the dialog, to keep the samples dense.
      const double now = bench::now_seconds();
      if (now >= next_status) {
        complete = session.transfer_complete();
        next_status = now + 0.1;
      }
      ::Sleep(10);  // sampling cadence, not a wait for a condition
    }
    session.finish();
    bench::note("respond run " + std::to_string(run + 1) + ": " + std::to_string(samples_ms.size()) +
                " samples so far");
  }
  const double p50 = bench::quantile(samples_ms, 0.50);
  const double p90 = bench::quantile(samples_ms, 0.90);
  const double p99 = bench::quantile(samples_ms, 0.99);
  const double worst = bench::quantile(samples_ms, 1.0);
  std::printf("### d. Responsiveness of the dialog during a transfer\n\n");
  std::printf("While Pushwell.exe sends one %.0f MiB firmware.cam at %llu B/s, this program sends its main dialog "
              "WM_NULL with SendMessageTimeout every ~10 ms and times the answer. %d runs, %zu samples, %d "
              "unanswered within 2 s.\n\n",
              payload_mib, static_cast<unsigned long long>(rate), runs, samples_ms.size(), timeouts);
  std::printf("| median ms | p90 ms | p99 ms | max ms |\n| ---: | ---: | ---: | ---: |\n");
  std::printf("| %.3f | %.3f | %.3f | %.3f |\n\n", p50, p90, p99, worst);
  std::printf("- p99: **%.2f ms** (target <= 20 ms): %s\n\n", p99, bench::verdict(p99 <= 20.0 && timeouts == 0));
}

void measure_memory(const std::vector<double>& sizes_mib) {
  struct Row {
    double mib;
    PROCESS_MEMORY_COUNTERS idle, done;
  };
  std::vector<Row> rows;
  for (double mib : sizes_mib) {
    Session session("bench-memory", static_cast<std::size_t>(mib * kMiB), 0);
    Row row{mib, memory_of(session.process()), {}};
    session.press_update();
    // Read while the last box is up: the transfer has ended, the process has not.
    if (!session.finishing_box()) bench::fail("the updater did not finish");
    row.done = memory_of(session.process());
    session.finish();
    rows.push_back(row);
    bench::note("memory " + bench::format("%.0f MiB", mib) + ": peak working set " +
                bench::format("%.1f MiB", row.done.PeakWorkingSetSize / kMiB));
  }
  std::printf("### e. Peak memory of the updater\n\n");
  std::printf("Pushwell.exe sends one firmware.cam of each size to devsim (unlimited rate). GetProcessMemoryInfo on "
              "its process: *idle* is read before the button is pressed, *peak* while the final box is up (before "
              "exit). The growth is the peak less the idle (current) figure of the same counter; the verdict is on the "
              "working set. MiB = 2^20 bytes.\n\n");
  std::printf("| payload MiB | idle working set | peak working set | growth | idle pagefile | peak pagefile | "
              "growth | limit (size + 8) | verdict |\n");
  std::printf("| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |\n");
  bool all_met = true;
  for (const Row& r : rows) {
    const double ws_growth = (static_cast<double>(r.done.PeakWorkingSetSize) - r.idle.WorkingSetSize) / kMiB;
    const double pf_growth = (static_cast<double>(r.done.PeakPagefileUsage) - r.idle.PagefileUsage) / kMiB;
    const double limit = r.mib + 8.0;
    const bool met = ws_growth <= limit;  // see RESULTS.md on PagefileUsage under Wine
    all_met = all_met && met;
    std::printf("| %.0f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.0f | %s |\n", r.mib,
                r.idle.WorkingSetSize / kMiB, r.done.PeakWorkingSetSize / kMiB, ws_growth,
                r.idle.PagefileUsage / kMiB, r.done.PeakPagefileUsage / kMiB, pf_growth, limit,
                bench::verdict(met));
  }
  std::printf("\n- every size within file size + 8 MiB: %s\n\n", bench::verdict(all_met));
}

std::vector<double> parse_sizes(const std::string& text) {
  std::vector<double> sizes;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ','))
    if (!item.empty()) sizes.push_back(std::atof(item.c_str()));
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  const double payload = bench::number_option(argc, argv, "--payload-mib", 16);
  const auto rate = static_cast<std::uint64_t>(bench::number_option(argc, argv, "--rate", 1200000));
  if (what == "cpu") {
    measure_cpu(payload, rate, static_cast<int>(bench::number_option(argc, argv, "--runs", 3)));
  } else if (what == "respond") {
    measure_responsiveness(payload, rate, static_cast<int>(bench::number_option(argc, argv, "--runs", 2)));
  } else if (what == "memory") {
    measure_memory(parse_sizes(bench::option(argc, argv, "--sizes", "1,64,256")));
  } else {
    std::fprintf(stderr, "usage: bench_updater cpu|respond|memory [options]\n");
    return 2;
  }
  return 0;
}
