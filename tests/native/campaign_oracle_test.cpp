// The fault campaign's schedule and oracle on runs recorded under Wine
// (tests/native/campaign_runs/<run>/: the plan's description, the record and the
// device's capture): honest runs hold, and a run that lies or hangs is caught.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/campaign/campaign_oracle.h"
#include "tools/campaign/campaign_plan.h"

namespace {

using namespace pw::campaign;

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct RecordedRun {
  Plan plan;
  std::string described;  // as the runner described the plan it ran
  Record record;
};

RecordedRun recorded(const std::string& name) {
  const std::string folder = std::string(PUSHWELL_SOURCE_DIR) + "/tests/native/campaign_runs/" + name + "/";
  RecordedRun run;
  run.described = read_text(folder + "plan.txt");
  while (!run.described.empty() && (run.described.back() == '\n' || run.described.back() == '\r'))
    run.described.pop_back();
  // "seed N: console, ..." or "seed N: dialog, ...": the runner may have forced the program.
  run.plan = draw_plan(std::strtoull(run.described.c_str() + 5, nullptr, 10));
  run.plan.program = run.described.find(": dialog,") != std::string::npos ? Program::dialog : Program::console;
  EXPECT_TRUE(read_record(read_text(folder + "record.txt"), &run.record)) << name;
  const std::string capture = read_text(folder + "capture.bin");
  run.record.capture.assign(capture.begin(), capture.end());
  return run;
}

std::string rules(const Verdict& verdict) {
  std::string text;
  for (const Break& b : verdict.breaks) text += b.rule + "; ";
  return text;
}

bool breaks_as(const Verdict& verdict, BreakKind kind, const std::string& words) {
  for (const Break& b : verdict.breaks)
    if (b.kind == kind && b.rule.find(words) != std::string::npos) return true;
  return false;
}

// The runner is built by MinGW and this test natively: the same seed must give
// the same plan in both, or a replay would run something else.
TEST(CampaignPlan, ASeedDrawsTheSamePlanInEveryBuild) {
  for (const char* name : {"console-completed", "dialog-completed", "console-write-error", "console-stale-list",
                           "console-too-short-file", "console-wm-close-hang", "dialog-refused-then-unlinked",
                           "dialog-changed-file-sent", "console-quit-cut-file"}) {
    const RecordedRun run = recorded(name);
    EXPECT_EQ(describe(run.plan), run.described) << name;
  }
}

TEST(CampaignPlan, FaultsStrikeWhereTheRunCanMeetThem) {
  std::set<FaultKind> drawn;
  unsigned dialogs = 0;
  for (std::uint64_t seed = 1; seed <= 2000; ++seed) {
    const Plan plan = draw_plan(seed);
    ASSERT_FALSE(plan.files.empty()) << seed;
    dialogs += plan.program == Program::dialog;
    bool times_begun = false;
    std::uint64_t last_time = 0;
    for (const Fault& f : plan.faults) {
      drawn.insert(f.kind);
      if (f.at_byte) {
        ASSERT_FALSE(times_begun) << describe(plan) << ": byte faults come first, armed before the start";
        EXPECT_GE(f.at, 1u) << describe(plan);
        EXPECT_LE(f.at, std::max<std::uint64_t>(1, stream_size(plan))) << describe(plan);
      } else {
        EXPECT_GE(f.at, last_time) << describe(plan) << ": in the order they strike";
        times_begun = true;
        last_time = f.at;
      }
      if (f.kind == FaultKind::ctrl_c) {
        EXPECT_EQ(plan.program, Program::console) << describe(plan);
      }
      if (f.kind == FaultKind::file_added) {
        EXPECT_EQ(plan.file_in(f.slot), nullptr) << describe(plan);
      }
      if (f.kind == FaultKind::file_changed) {
        EXPECT_NE(plan.file_in(f.slot), nullptr) << describe(plan);
      }
    }
  }
  EXPECT_EQ(drawn.size(), kFaultKinds) << "every kind of fault is drawn";
  EXPECT_GT(dialogs, 2000u / 5) << "at least a fifth of the runs drive the dialog";
}

// Where a fault of a pair seed lands: the byte the device has counted, or the open begun.
std::uint64_t landing_byte(const Fault& f) { return f.at_byte || f.wait == Wait::bytes ? f.at : 0; }

TEST(CampaignPlan, PairSeedsCoverEveryPairWhereItIsMeantToLand) {
  std::set<long> covered;
  std::set<FaultKind> kinds;
  bool quit_in_a_stuck_open = false;
  for (std::uint64_t k = 1; k <= pairs().size(); ++k) {
    const Plan plan = draw_plan(kPairSeeds + k);
    ASSERT_EQ(plan.pair, static_cast<long>(k - 1)) << describe(plan);
    covered.insert(plan.pair);
    const Pair& pair = pairs()[static_cast<std::size_t>(plan.pair)];
    kinds.insert(pair.kind);
    // The sent files' spans as the device counts them, the identification byte first.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    std::uint64_t counted = 1;
    for (const PlannedFile& file : plan.files) {
      EXPECT_EQ(file.damage, Damage::none) << describe(plan);
      if (file.flag == 0) continue;
      spans.emplace_back(counted, counted + 48 + file.payload);
      counted = spans.back().second;
    }
    ASSERT_GE(spans.size(), 2u) << describe(plan) << ": two files sent, so a boundary comes";
    const Fault* slow_open = nullptr;
    for (const Fault& f : plan.faults)
      if (f.kind == FaultKind::slow_open) slow_open = &f;
    for (const FaultKind kind : {pair.kind, pair.other}) {
      const auto f = std::find_if(plan.faults.begin(), plan.faults.end(), [&](const Fault& g) { return g.kind == kind; });
      ASSERT_NE(f, plan.faults.end()) << describe(plan);
      const std::uint64_t byte = landing_byte(*f);
      switch (pair.stage) {
        case Stage::reading: EXPECT_TRUE(byte == 1 || (f->wait == Wait::clock && f->at == 0)) << describe(plan); break;
        case Stage::opening:
          ASSERT_NE(slow_open, nullptr) << describe(plan);
          EXPECT_LE(slow_open->count, spans.size() + 1) << describe(plan) << ": an open the command makes";
          if (kind != FaultKind::slow_open) {
            EXPECT_TRUE(f->wait == Wait::open && f->at == slow_open->count) << describe(plan);
          }
          break;
        case Stage::mid_file:
          EXPECT_TRUE(std::any_of(spans.begin(), spans.end(), [&](const auto& s) { return byte > s.first && byte < s.second; }))
              << describe(plan);
          break;
        case Stage::between_files:
          EXPECT_TRUE(std::any_of(spans.begin(), spans.end() - 1, [&](const auto& s) { return byte == s.second; }))
              << describe(plan);
          break;
      }
      // The device waits where the runner is to strike.
      if (f->wait == Wait::bytes) {
        EXPECT_TRUE(std::any_of(plan.faults.begin(), plan.faults.end(), [&](const Fault& g) {
          return g.kind == FaultKind::stall && g.at_byte && g.at == byte && g.length > 0;
        })) << describe(plan);
      }
      if (kind == FaultKind::ctrl_c) {
        EXPECT_EQ(plan.program, Program::console);
      }
      if (kind == FaultKind::close_attempt) {
        EXPECT_EQ(plan.program, Program::dialog) << describe(plan);
      }
      if (kind == FaultKind::file_added) {
        EXPECT_EQ(plan.file_in(f->slot), nullptr) << describe(plan);
      }
      if (!pair.with_other) break;
    }
    if (pair.with_other && pair.kind == FaultKind::wm_quit && pair.other == FaultKind::slow_open)
      quit_in_a_stuck_open = slow_open && slow_open->length >= 15000;
  }
  EXPECT_EQ(covered.size(), pairs().size());
  EXPECT_EQ(kinds.size(), kFaultKinds) << "every kind of fault is in a pair";
  EXPECT_TRUE(quit_in_a_stuck_open) << "a quit while the pipe's open never returns";
  EXPECT_EQ(draw_plan(kPairSeeds + pairs().size() + 1).pair, 0) << "the pairs come round again";
}

TEST(CampaignOracle, HonestRunsHold) {
  for (const char* name : {"console-completed", "dialog-completed", "console-write-error", "console-stale-list",
                           "console-too-short-file", "dialog-refused-then-unlinked"}) {
    const RecordedRun run = recorded(name);
    const Verdict verdict = judge(run.plan, run.record);
    EXPECT_TRUE(verdict.holds()) << name << ": " << rules(verdict);
  }
  EXPECT_EQ(judge(recorded("console-write-error").plan, recorded("console-write-error").record).reported,
            Outcome::transfer_failed);
  // A file refused, then a refusing probe: the lost-device question ends the
  // process, but what the command reported stands.
  EXPECT_EQ(judge(recorded("dialog-refused-then-unlinked").plan, recorded("dialog-refused-then-unlinked").record)
                .reported,
            Outcome::file_refused);
  RecordedRun cut = recorded("dialog-refused-then-unlinked");  // as if the device went while the command ran
  cut.record.details.erase(std::remove_if(cut.record.details.begin(), cut.record.details.end(),
                                          [](const std::string& line) {
                                            return line.find("update command ended") != std::string::npos;
                                          }),
                           cut.record.details.end());
  EXPECT_EQ(judge(cut.plan, cut.record).reported, Outcome::transfer_failed);
}

// The console program reported completion and both files sent, but the device
// holds 4000 bytes of the 5022 it should.
TEST(CampaignOracle, ACaptureShortOfWhatWasReportedIsALie) {
  const RecordedRun run = recorded("console-completed-capture-short");
  const Verdict verdict = judge(run.plan, run.record);
  EXPECT_TRUE(breaks_as(verdict, BreakKind::lie, "reported completion, but the device got 4000 bytes")) << rules(verdict);
  EXPECT_TRUE(breaks_as(verdict, BreakKind::lie, "said database.cam was sent")) << rules(verdict);
}

// A WM_CLOSE to the console program's hidden window: it never ended.
TEST(CampaignOracle, ARunThatNeverEndsIsAHang) {
  const RecordedRun run = recorded("console-wm-close-hang");
  const Verdict verdict = judge(run.plan, run.record);
  EXPECT_TRUE(breaks_as(verdict, BreakKind::hang, "did not end")) << rules(verdict);
  EXPECT_TRUE(breaks_as(verdict, BreakKind::leak, "left running")) << rules(verdict);

  RecordedRun slow = recorded("console-completed");
  slow.record.seconds = static_cast<double>(bound_ms(slow.plan)) / 1000 + 1;
  EXPECT_TRUE(breaks_as(judge(slow.plan, slow.record), BreakKind::hang, "over its bound"));
  // A needless wait of one of the program's 15 s bounds in a run with no fault.
  slow.record.seconds = recorded("console-completed").record.seconds + 15;
  EXPECT_TRUE(breaks_as(judge(slow.plan, slow.record), BreakKind::hang, "over its bound"));
}

// Runs of builds broken on purpose (tests/campaign_mutants.txt), recorded under
// Wine: each lied in its own way, and the oracle says how.
TEST(CampaignOracle, RunsOfBrokenBuildsAreCaughtForWhatTheyBroke) {
  const struct {
    const char* run;
    const char* rule;
  } kLies[] = {
      {"dialog-changed-file-sent", "no part of the update stream"},   // a file changed mid-update sent as it is now
      {"console-late-file-sent", "no part of the update stream"},     // a file that appeared mid-update sent
      {"dialog-cancel-obeyed-mid-file", "ended during its command"},  // Cancel obeyed in the middle of a file
      {"console-quit-cut-file", "a file was cut at the device"},      // a WM_QUIT that cut the file under way
      {"console-session-end-mid-file", "allowed the session to end"},  // the session's end allowed mid-file
  };
  for (const auto& lie : kLies) {
    const RecordedRun run = recorded(lie.run);
    const Verdict verdict = judge(run.plan, run.record);
    EXPECT_TRUE(breaks_as(verdict, BreakKind::lie, lie.rule)) << lie.run << ": " << rules(verdict);
    EXPECT_TRUE(pair_landed(run.plan, run.record)) << lie.run << ": the pair its seed drew struck";
  }
}

TEST(CampaignOracle, AFolderItsSignatureDoesNotCoverPutsNotEvenTheIdentificationByteAtTheDevice) {
  RecordedRun run = recorded("console-stale-list");
  ASSERT_TRUE(judge(run.plan, run.record).holds());
  run.record.capture = {0x40};
  const Verdict verdict = judge(run.plan, run.record);
  EXPECT_TRUE(breaks_as(verdict, BreakKind::lie, "signature does not cover")) << rules(verdict);
}

TEST(CampaignOracle, AnExitStatusThatIsNotTheTablesForWhatHappenedBreaks) {
  RecordedRun run = recorded("console-write-error");
  run.record.exit_status = 4;  // a refused file, where a transfer failed
  const Verdict verdict = judge(run.plan, run.record);
  EXPECT_TRUE(breaks_as(verdict, BreakKind::lie, "exit status 4")) << rules(verdict);
  EXPECT_TRUE(breaks_as(verdict, BreakKind::lie, "the end event's exit disagrees")) << rules(verdict);
}

// A run as it would look had the program done something else: every `from` in
// its output and details becomes `to`.
void rewrite(Record& record, const std::string& from, const std::string& to) {
  for (std::vector<std::string>* lines : {&record.output, &record.details})
    for (std::string& line : *lines)
      for (std::size_t at = line.find(from); at != std::string::npos; at = line.find(from, at + to.size()))
        line.replace(at, from.size(), to);
}

// Adds a fault to the plan as if it had struck when the device had `device_bytes`.
void strike(RecordedRun& run, Fault fault, std::uint64_t device_bytes) {
  run.plan.faults.push_back(fault);
  run.record.fired.push_back({run.plan.faults.size() - 1, 100, device_bytes});
}

// The update went out whole, but the program reported the firmware refused as
// changed since the folder's reading: only a change that cleared its send flag
// (a skip at the device) explains that.
TEST(CampaignOracle, AWholeStreamReportedAsAChangedFileRefusedHoldsOnlyWhereTheChangeSkipsIt) {
  for (const std::uint32_t change : {0u, 1u, 2u}) {
    RecordedRun run = recorded("console-completed");
    Fault changed;
    changed.kind = FaultKind::file_changed;
    changed.slot = 0;
    changed.count = change;
    strike(run, changed, 0);
    run.record.exit_status = 4;
    rewrite(run.record, "\"exit\":0", "\"exit\":4");
    rewrite(run.record, "update command ended: completed", "update command ended: file refused");
    rewrite(run.record, "exit status 0", "exit status 4");
    run.record.output.erase(std::remove_if(run.record.output.begin(), run.record.output.end(),
                                           [](const std::string& line) { return line.find("finished") != std::string::npos; }),
                            run.record.output.end());
    const Verdict verdict = judge(run.plan, run.record);
    EXPECT_EQ(verdict.reported, Outcome::file_refused);
    EXPECT_EQ(breaks_as(verdict, BreakKind::lie, "did not report completion"), change != 1)
        << "change " << change << ": " << rules(verdict);
  }
}

// Without a signed list the folder as read is what goes out: the firmware's new
// bytes, written once the reading had surely ended, must not reach the device;
// written before, they may have been read. The reading's end is known by the
// identification byte at the device, or placed on the runner's clock by the
// details (the identification began 300 ms after the folder's verdict where it
// took 4 ms, not 304) and the moment the runner saw that byte.
TEST(CampaignOracle, BytesChangedAfterTheFolderWasReadAtTheDeviceAreALie) {
  const struct {
    std::uint64_t device_bytes;
    std::uint64_t at_ms;
    std::optional<double> first_byte_ms;
    bool identification_waited;
    bool lie;
  } kCases[] = {
      {0, 100, std::nullopt, false, false}, {1, 100, std::nullopt, false, true}, {0, 400, 500.0, true, true},
      {0, 100, 500.0, true, false},         {0, 400, 500.0, false, false},
  };
  for (const auto& c : kCases) {
    RecordedRun run = recorded("console-completed");
    Fault changed;
    changed.kind = FaultKind::file_changed;
    changed.slot = 0;
    strike(run, changed, c.device_bytes);
    run.record.fired.back().at_ms = c.at_ms;
    run.record.first_byte_ms = c.first_byte_ms;
    if (c.identification_waited) rewrite(run.record, "took 0.304 s", "took 0.004 s");
    Bytes capture = {0x40};
    for (const Bytes& file : {changed_file_bytes(*run.plan.file_in(0), 0), file_bytes(*run.plan.file_in(4))}) {
      const Bytes stream = pw::tools::device_stream(file);
      capture.insert(capture.end(), stream.begin(), stream.end());
    }
    run.record.capture = capture;
    const Verdict verdict = judge(run.plan, run.record);
    EXPECT_EQ(breaks_as(verdict, BreakKind::lie, "no part of the update stream"), c.lie)
        << "changed at byte " << c.device_bytes << ", " << c.at_ms << " ms: " << rules(verdict);
  }
}

// A dialog that vanished without a box after a close: stopped as asked when the
// close came before the identification byte; a lie after it, when the close must
// be refused. A dialog that crashed is a lie whatever came before.
TEST(CampaignOracle, ADialogThatObeysACloseAfterTheIdentificationByteOrCrashesLies) {
  for (const FaultKind kind : {FaultKind::close_attempt, FaultKind::wm_close}) {
    for (const std::uint64_t device_bytes : {0u, 1u}) {
      RecordedRun run = recorded("dialog-completed");
      Fault close;
      close.kind = kind;
      strike(run, close, device_bytes);
      run.record.capture = {0x40};
      run.record.output.clear();
      run.record.details.erase(std::find_if(run.record.details.begin(), run.record.details.end(),
                                            [](const std::string& line) { return line.find("files begin") != std::string::npos; }),
                               run.record.details.end());
      const Verdict verdict = judge(run.plan, run.record);
      EXPECT_EQ(verdict.holds(), device_bytes == 0) << fault_name(kind) << " at byte " << device_bytes << ": "
                                                    << rules(verdict);
    }
  }
  RecordedRun crashed = recorded("dialog-completed");
  crashed.record.exit_status = 0xC0000005u;
  EXPECT_TRUE(breaks_as(judge(crashed.plan, crashed.record), BreakKind::lie, "exit status 3221225477"));
}

TEST(CampaignOracle, ARecordReadsBackAsWritten) {
  const RecordedRun run = recorded("dialog-completed");
  Record again;
  ASSERT_TRUE(read_record(write_record(run.record), &again));
  EXPECT_EQ(write_record(again), write_record(run.record));
  EXPECT_EQ(again.output, run.record.output);
  EXPECT_EQ(again.texts.finished, run.record.texts.finished);
}

}  // namespace
