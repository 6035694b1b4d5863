// Many update commands against one simulated device, each with a fault drawn at
// random from a fixed seed, a fresh updater started whenever the last one has
// ended. After every command the device holds an honest prefix of the update
// stream (all of it when the update was reported finished, else the user was
// told why); nothing hangs or crashes; and within one updater's life, commands
// that end early leave no threads and no pipe connections behind beyond each
// command's identification handle.
//
// PUSHWELL_SOAK_COMMANDS sets the number of commands (default 12) and
// PUSHWELL_SOAK_SEED the seed (printed at the start, so a failure can be replayed).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <sstream>

#include "tests/e2e/fault_rig.h"

namespace pw::e2e {
namespace {

constexpr unsigned kDefaultCommands = 12;
constexpr std::uint32_t kDefaultSeed = 20261207;
// The device serves at most 16 connections on its out pipe, and every command
// keeps its identification handle open: an updater's life ends well before that.
constexpr int kCommandsPerLife = 10;
constexpr Millis kCommandDeadline{60000};

enum class Fault {
  none,
  slow_line,
  delayed_reply,
  wrong_reply,
  short_file,
  bad_marker,
  held_open,
  out_pipe_refused,
  library_refused,
  write_error,
  unplugged,
};

const char* fault_name(Fault fault) {
  switch (fault) {
    case Fault::none: return "none";
    case Fault::slow_line: return "slow_line";
    case Fault::delayed_reply: return "delayed_reply";
    case Fault::wrong_reply: return "wrong_reply";
    case Fault::short_file: return "short_file";
    case Fault::bad_marker: return "bad_marker";
    case Fault::held_open: return "held_open";
    case Fault::out_pipe_refused: return "out_pipe_refused";
    case Fault::library_refused: return "library_refused";
    case Fault::write_error: return "write_error";
    case Fault::unplugged: return "unplugged";
  }
  return "?";
}

// Faults that stop the command before the identification byte is written.
bool refused_at_once(Fault fault) { return fault == Fault::out_pipe_refused || fault == Fault::library_refused; }

std::uint64_t environment_number(const char* name, std::uint64_t fallback) {
  char value[32];
  const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
  if (n == 0 || n >= sizeof value) return fallback;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(value, &end, 10);
  return end && *end == '\0' ? parsed : fallback;
}

bool is_sent(const tools::Bytes& file) {
  return check_update_header(file.data(), file.size()) == HeaderVerdict::send;
}

struct CommandFile {
  std::string name;
  std::size_t payload;
  std::uint8_t flag;
  tools::Bytes contents;  // as written, damage included
};

// One drawn command: its files, its fault and where the fault strikes.
struct Command {
  Fault fault = Fault::none;
  std::vector<CommandFile> files;  // in the order the updater handles them
  std::size_t damaged = SIZE_MAX;  // the short, bad or held file
  std::size_t cut_at = 0;          // write error or unplug: the bytes the device gets

  bool database_present() const {
    return std::any_of(files.begin(), files.end(), [](const CommandFile& f) { return f.name == "database.cam"; });
  }
  // What the updater sends when the line holds: the flagged files before the damaged one.
  std::vector<tools::Bytes> sendable() const {
    std::vector<tools::Bytes> sent;
    for (std::size_t i = 0; i < files.size() && i != damaged; ++i)
      if (is_sent(files[i].contents)) sent.push_back(files[i].contents);
    return sent;
  }
  std::string describe() const {
    std::ostringstream out;
    out << fault_name(fault);
    if (damaged != SIZE_MAX) out << " at " << files[damaged].name;
    if (cut_at) out << " after " << cut_at << " bytes";
    out << "; files:";
    for (const CommandFile& f : files)
      out << " " << f.name << "(" << f.payload << ",0x" << std::hex << int(f.flag) << std::dec << ")";
    return out.str();
  }
};

// Draws commands from the seed and writes their files into the rig's folder.
class CommandSource {
 public:
  CommandSource(std::uint32_t seed, UpdaterRig& rig) : random_(seed), rig_(rig) {}

  ::testing::AssertionResult next(Command* c) {
    static const Fault kFaults[] = {Fault::none,        Fault::slow_line,        Fault::delayed_reply,
                                    Fault::wrong_reply, Fault::short_file,       Fault::bad_marker,
                                    Fault::held_open,   Fault::out_pipe_refused, Fault::library_refused,
                                    Fault::write_error, Fault::unplugged};
    *c = Command{};
    c->fault = kFaults[pick(sizeof kFaults / sizeof kFaults[0])];
    static const std::uint8_t kFlags[] = {1, 1, 1, 0x80, 0xFF, 0};
    for (const char* name : kUpdateFileOrder) {
      const bool database = std::string(name) == "database.cam";
      if (pick(database ? 4 : 3) == 0) continue;  // missing: skipped, or for the database the end
      const std::size_t payload = 4 + pick(pick(4) == 0 ? 60000 : 9000);
      c->files.push_back(CommandFile{name, payload, kFlags[pick(sizeof kFlags)], {}});
    }
    choose_damaged_file(c);
    for (const char* name : kUpdateFileOrder) ::DeleteFileA(rig_.folder().file(name).c_str());
    for (std::size_t i = 0; i < c->files.size(); ++i) {
      CommandFile& f = c->files[i];
      f.contents = rig_.write_update_file(f.name, f.payload, f.flag, ++file_seed_);
      if (i != c->damaged) continue;
      if (c->fault == Fault::short_file) f.contents.resize(pick(2) ? 1027 : 0);
      if (c->fault == Fault::bad_marker) f.contents[0] = '#';
      if (!rig_.write_bytes(f.name, f.contents)) return ::testing::AssertionFailure() << "cannot write " << f.name;
    }
    choose_cut(c);
    return ::testing::AssertionSuccess();
  }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

  // Damage needs a file the sequence reaches; a held database only ends the
  // process as a missing one does, so it is not drawn.
  void choose_damaged_file(Command* c) {
    if (c->fault != Fault::short_file && c->fault != Fault::bad_marker && c->fault != Fault::held_open) return;
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < c->files.size(); ++i)
      if (c->fault != Fault::held_open || c->files[i].name != "database.cam") candidates.push_back(i);
    if (candidates.empty()) {
      c->fault = Fault::none;
    } else {
      c->damaged = candidates[pick(candidates.size())];
    }
  }

  // Inside a file's stream, never at its very end, where the next file would go
  // on afresh on a new connection.
  void choose_cut(Command* c) {
    if (c->fault != Fault::write_error && c->fault != Fault::unplugged) return;
    const std::vector<tools::Bytes> sendable = c->sendable();
    const std::size_t total = expected_stream(sendable).size();
    if (total <= 2) {
      c->fault = Fault::none;
      return;
    }
    std::vector<std::size_t> ends;
    std::size_t at = 1;
    for (const tools::Bytes& f : sendable) ends.push_back(at += tools::device_stream(f).size());
    do {
      c->cut_at = 2 + pick(total - 2);
    } while (std::find(ends.begin(), ends.end(), c->cut_at) != ends.end());
  }

  std::mt19937 random_;
  UpdaterRig& rig_;
  std::uint32_t file_seed_ = 100;
};

// Sets the device up for the command's fault; a held file is held by `held`.
::testing::AssertionResult arm(UpdaterRig& rig, const Command& c, UniqueHandle* held) {
  std::string command;
  switch (c.fault) {
    case Fault::slow_line: command = "rate 300000"; break;
    case Fault::delayed_reply: command = "reply delay 300"; break;
    case Fault::wrong_reply: command = "reply byte 0x57"; break;
    case Fault::out_pipe_refused: command = "refuse-out-pipe on"; break;
    case Fault::library_refused: command = "refuse-load on"; break;
    case Fault::write_error: command = "fault fail " + std::to_string(c.cut_at); break;
    case Fault::unplugged: command = "fault unplug " + std::to_string(c.cut_at); break;
    case Fault::held_open:
      held->reset(::CreateFileA(rig.folder().file(c.files[c.damaged].name).c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
      if (!held->valid()) return ::testing::AssertionFailure() << "cannot hold " << c.files[c.damaged].name;
      return ::testing::AssertionSuccess();
    default: return ::testing::AssertionSuccess();
  }
  if (!rig.device_command(command)) return ::testing::AssertionFailure() << "device refused \"" << command << "\"";
  return ::testing::AssertionSuccess();
}

struct Outcome {
  Expectation expected;      // the boxes, and whether the program goes on
  std::size_t device_bytes;  // what the capture settles to
};

Outcome outcome_of(const Command& c, std::size_t full_stream) {
  const Shown final_box = c.database_present() ? Shown{1010} : Shown{1035};
  const Expectation all_sent{{final_box}, {}, Ending::exits};
  switch (c.fault) {
    case Fault::none:
    case Fault::slow_line:
    case Fault::delayed_reply: return {all_sent, full_stream};
    case Fault::wrong_reply:
      // Asked anew at every command, whatever an earlier one heard.
      return {{{wrong_device()}, {}, Ending::exits}, 1};
    case Fault::short_file: return {{{Shown{1023}}, {}, Ending::keeps_running}, full_stream};
    case Fault::bad_marker: return {{{Shown{1022}}, {}, Ending::keeps_running}, full_stream};
    case Fault::held_open: return {{{Shown{2008}}, {}, Ending::keeps_running}, full_stream};
    case Fault::out_pipe_refused: return {{{Shown{1021}}, {}, Ending::keeps_running}, 0};
    case Fault::library_refused: return {{{Shown{1031}}, {}, Ending::keeps_running}, 0};
    case Fault::write_error: return {{{Shown{2002}}, {}, Ending::keeps_running}, c.cut_at};
    case Fault::unplugged: return {{{Shown{1021}}, {Shown{2002}}, Ending::exits}, c.cut_at};
  }
  return {all_sent, full_stream};
}

// The running updater and what its commands so far may leave behind.
struct Life {
  unsigned number = 0;
  int commands = 0;
  int kept_handles = 0;  // identification handles it keeps open
  int baseline_threads = -1;
};

TEST(Soak, RandomFaultsNeverReportAnIncompleteUpdateAndLeakNothing) {
  const auto commands = static_cast<unsigned>(environment_number("PUSHWELL_SOAK_COMMANDS", kDefaultCommands));
  const auto seed = static_cast<std::uint32_t>(environment_number("PUSHWELL_SOAK_SEED", kDefaultSeed));
  std::cout << "[   SOAK   ] PUSHWELL_SOAK_SEED=" << seed << " PUSHWELL_SOAK_COMMANDS=" << commands << std::endl;
  RecordProperty("soak_seed", std::to_string(seed));

  UpdaterRig rig("soak");
  CommandSource source(seed, rig);
  ASSERT_TRUE(rig.start_device());
  DialogApp& app = rig.app();
  std::optional<Life> life;
  unsigned lives = 0;

  for (unsigned index = 0; index < commands; ++index) {
    if (!life) {
      // The last updater has gone, and its connections with it.
      ASSERT_TRUE(rig.device_command("plug"));
      ASSERT_TRUE(sim::wait_for_status(
          rig.device(), [](const sim::Status& s) { return s.out_clients == 0 && s.in_clients == 0; }, 30000))
          << "connections left by an updater that has ended";
      ASSERT_TRUE(rig.start_updater_linked()) << app.describe();
      life = Life{};
      life->number = ++lives;
    }
    // The device at rest, its capture empty.
    for (const char* setting :
         {"fault none", "reply default", "rate unlimited", "refuse-load off", "refuse-out-pipe off", "reset"})
      ASSERT_TRUE(rig.device_command(setting)) << setting;

    Command c;
    ASSERT_TRUE(source.next(&c));
    const std::string description = "command " + std::to_string(index) + " (updater run " +
                                    std::to_string(life->number) + ", seed " + std::to_string(seed) +
                                    "): " + c.describe();
    SCOPED_TRACE(description);
    const tools::Bytes full = expected_stream(c.sendable());
    Outcome outcome = outcome_of(c, full.size());
    // The presence poll may meet a refused library too, once per run of refusals.
    outcome.expected.allowed.push_back(library_unloaded());

    UniqueHandle held;
    ASSERT_TRUE(arm(rig, c, &held));
    const bool count_the_reader = life->commands == 0 && !refused_at_once(c.fault);
    // The reader ends at the first reply; a reply that takes a while keeps it
    // alive long enough to be counted, well inside the time the device is given.
    if (count_the_reader && c.fault != Fault::delayed_reply) {
      ASSERT_TRUE(rig.device_command("reply delay 400"));
    }
    ASSERT_TRUE(app.click(kUpdateButton)) << app.describe();
    if (count_the_reader) {
      // The identification's reader is a second thread while it waits: the
      // count must see it, or "no growth" below would prove nothing.
      EXPECT_TRUE(poll_until([&] { return thread_count(app.process().id()) >= 2; }, Millis{10000}))
          << "the reader thread never showed in the updater's thread count";
    }
    std::vector<SeenBox> shown;
    const ::testing::AssertionResult ran = run_to_end(app, outcome.expected, kCommandDeadline, &shown);
    held.reset();
    rig.device_command("refuse-load off");
    const tools::Bytes capture = settled_capture(rig, outcome.device_bytes);
    const bool finished = std::any_of(shown.begin(), shown.end(),
                                      [](const SeenBox& box) { return box_text_matches(box.text, msg(1010)); });
    EXPECT_TRUE(delivered_honestly(capture, full, finished));
    EXPECT_TRUE(ran);
    EXPECT_EQ(capture.size(), outcome.device_bytes) << "bytes the device should hold";
    if (HasFailure()) {
      keep_screenshots_on_failure(app);
      return;
    }

    ++life->commands;
    if (!refused_at_once(c.fault)) ++life->kept_handles;
    if (!app.process().running()) {
      std::cout << "[   SOAK   ] " << description << ": the updater ended" << std::endl;
      life.reset();
      continue;
    }
    // Still running after an early end: nothing of the command may linger.
    ASSERT_TRUE(sim::wait_for_status(
        rig.device(),
        [&](const sim::Status& s) { return s.out_clients == life->kept_handles && s.in_clients == 0; }, 30000))
        << "out_clients=" << rig.device_status().out_clients << " (kept " << life->kept_handles
        << ") in_clients=" << rig.device_status().in_clients;
    const int threads = thread_count(app.process().id());
    ASSERT_GT(threads, 0);
    if (life->baseline_threads < 0) life->baseline_threads = threads;
    EXPECT_LE(threads, life->baseline_threads) << "threads grew within one updater's life";
    std::cout << "[   SOAK   ] " << description << ": " << threads << " thread(s), " << life->kept_handles
              << " identification handle(s) kept" << std::endl;

    // A transfer disables the button for good, and a life stays short of the
    // device's connection limit: either way a fresh updater takes over.
    if (!app.enabled(kUpdateButton) || life->commands >= kCommandsPerLife) {
      ASSERT_TRUE(app.click(IDCANCEL));
      const std::optional<DWORD> code = app.wait_for_exit();
      ASSERT_TRUE(code.has_value()) << app.describe();
      EXPECT_EQ(*code, 0u);
      life.reset();
    }
  }
  std::cout << "[   SOAK   ] " << commands << " commands over " << lives << " updater runs" << std::endl;
}

}  // namespace
}  // namespace pw::e2e
