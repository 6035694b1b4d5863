#include "update/update_plan.h"

#include <gtest/gtest.h>

#include <string>

#include "update/folder_sums.h"
#include "update/sha256.h"
#include "update/update_folder.h"

namespace {

using pw::FileProbe;
using pw::FileStep;
using pw::HeaderVerdict;

FileProbe opened(HeaderVerdict v) { return {FileProbe::Open::opened, v}; }
const FileProbe kMissing{FileProbe::Open::missing, std::nullopt};
const FileProbe kLocked{FileProbe::Open::not_openable, std::nullopt};
const FileProbe kUnreadable{FileProbe::Open::opened, std::nullopt};

struct Case {
  const char* name;
  std::size_t index;
  FileProbe probe;
  bool linked;
  FileStep step;
  int message;  // 0: none
};

class PlanFile : public ::testing::TestWithParam<Case> {};

TEST_P(PlanFile, DecidesAsTheUpdateCommandDoes) {
  const Case& c = GetParam();
  const pw::FileDecision d = pw::plan_file(c.index, c.probe, c.linked);
  EXPECT_EQ(d.step, c.step);
  EXPECT_EQ(d.message ? d.message->key : 0, c.message);
  if (d.message) {
    EXPECT_STREQ(d.message->section, "message");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PlanFile,
    ::testing::Values(Case{"MissingFirmwareIsSkipped", 0, kMissing, true, FileStep::skipped, 0},
                      Case{"MissingDatabaseEndsTheProcess", 4, kMissing, true, FileStep::process_ends, 1035},
                      Case{"ImageRuNeedsTheLink", 2, opened(HeaderVerdict::send), false, FileStep::skipped, 0},
                      Case{"ImageDoesNotNeedTheLink", 1, opened(HeaderVerdict::send), false, FileStep::sent, 0},
                      Case{"DatabaseUnlinkedEndsTheProcess", 4, opened(HeaderVerdict::send), false,
                           FileStep::process_ends, 1035},
                      Case{"LockedSoundStopsTheCommand", 3, kLocked, true, FileStep::command_ends, 2008},
                      Case{"LockedDatabaseEndsTheProcess", 4, kLocked, true, FileStep::process_ends, 1035},
                      Case{"UnreadableStops", 0, kUnreadable, true, FileStep::command_ends, 2006},
                      Case{"TooShortStops", 1, opened(HeaderVerdict::too_short), true, FileStep::command_ends, 1023},
                      Case{"BadMarkerStops", 4, opened(HeaderVerdict::bad_marker), true, FileStep::command_ends, 1022},
                      Case{"FlagZeroIsNotSent", 3, opened(HeaderVerdict::skip), true, FileStep::not_sent, 0},
                      // The plan sees the folder as it was read: a file added since is not there.
                      Case{"AbsentWhenReadIsSkippedEvenIfItAppearsLater", 1, kMissing, true, FileStep::skipped, 0}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(PlanUpdate, StopsAtTheFirstEndAndCompletesOnlyWhenLinked) {
  std::array<FileProbe, 5> probes = {opened(HeaderVerdict::send), kMissing, opened(HeaderVerdict::skip),
                                     opened(HeaderVerdict::bad_marker), opened(HeaderVerdict::send)};
  pw::UpdatePlan plan = pw::plan_update(probes, true);
  ASSERT_EQ(plan.decisions.size(), 4u) << "nothing after the damaged sound file is looked at";
  EXPECT_EQ(plan.decisions.back().step, FileStep::command_ends);
  EXPECT_FALSE(plan.completes);

  probes[3] = opened(HeaderVerdict::send);
  plan = pw::plan_update(probes, true);
  EXPECT_EQ(plan.decisions.size(), 5u);
  EXPECT_TRUE(plan.completes);
  EXPECT_FALSE(pw::plan_update(probes, false).completes) << "no link at the database ends the process";
}

struct InstallerCase {
  const char* what;
  bool keys;
  std::optional<std::string> list;  // SHA256SUMS, when there
  bool signed_by_trusted_key;
  bool present;
  std::uint8_t installer_byte;  // every byte of its digest
  pw::InstallerVerdict verdict;
};

// The folder's effects for the installer alone: the list, its signature and the file from the row.
class InstallerFolder final : public pw::FolderEffects {
 public:
  explicit InstallerFolder(const InstallerCase& c) : c_(c) {}
  pw::FileBytes read_small_file(const char* name, std::size_t) override {
    pw::FileBytes file;
    const bool list = std::string(name) == pw::kSumsFileName;
    if (!c_.list) return file;
    const std::string text = list ? *c_.list : "signature";
    file = {pw::FileBytes::State::read, std::vector<std::uint8_t>(text.begin(), text.end())};
    return file;
  }
  pw::FolderFile read_file(const char* name) override {
    pw::FolderFile file;
    EXPECT_STREQ(name, pw::kInstallerName);
    if (!c_.present) return file;
    file.probe.open = pw::FileProbe::Open::opened;
    file.sha256.emplace();
    file.sha256->fill(c_.installer_byte);
    return file;
  }
  std::optional<std::string> trusted_signer(const std::vector<std::uint8_t>&, const std::vector<std::uint8_t>&) override {
    if (!c_.signed_by_trusted_key) return std::nullopt;
    return std::string(64, 'f');
  }

 private:
  const InstallerCase& c_;
};

TEST(DriverInstaller, StartsWhereNoListIsInForceAndElseOnlyAsTheListNamesIt) {
  const std::string listed = std::string(64, 'a') + "  firmware.cam\n" + std::string(64, 'a') + "  InstallUsbDrive.exe\n";
  const std::string unlisted = std::string(64, 'a') + "  firmware.cam\n";
  using pw::InstallerVerdict;
  const InstallerCase cases[] = {
      {"keyless, no list: as ever", false, std::nullopt, false, true, 0xaa, InstallerVerdict::start},
      {"keyless, listed and matching", false, listed, false, true, 0xaa, InstallerVerdict::start},
      {"keyless, a list that does not name it", false, unlisted, false, true, 0xaa, InstallerVerdict::not_listed},
      {"keys, signed list names it", true, listed, true, true, 0xaa, InstallerVerdict::start},
      {"keys, signed list names it, other bytes", true, listed, true, true, 0xbb, InstallerVerdict::differs},
      {"keys, signed list does not name it", true, unlisted, true, true, 0xaa, InstallerVerdict::not_listed},
      {"keys, no list", true, std::nullopt, false, true, 0xaa, InstallerVerdict::list_refused},
      {"keys, list by another key", true, listed, false, true, 0xaa, InstallerVerdict::list_refused},
      {"keys, no installer", true, listed, true, false, 0xaa, InstallerVerdict::absent},
  };
  for (const InstallerCase& c : cases) {
    SCOPED_TRACE(c.what);
    InstallerFolder folder(c);
    const pw::InstallerVerdict verdict = pw::check_installer(c.keys, folder);
    EXPECT_EQ(verdict, c.verdict) << pw::installer_verdict_name(verdict);
  }
}

TEST(Sha256, MatchesTheStandardVectors) {
  auto digest = [](const std::string& s) {
    pw::Sha256 h;
    h.add(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    return h.hex();
  };
  EXPECT_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // In pieces of every size, across block ends: the same digest as at once.
  const std::string million(1000000, 'a');
  pw::Sha256 pieces;
  for (std::size_t at = 0, step = 1; at < million.size(); at += step, step = step % 97 + 1)
    pieces.add(reinterpret_cast<const std::uint8_t*>(million.data()) + at, std::min(step, million.size() - at));
  EXPECT_EQ(pieces.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
