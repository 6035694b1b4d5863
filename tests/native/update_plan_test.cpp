#include "update/update_plan.h"

#include <gtest/gtest.h>

#include <string>

#include "update/sha256.h"

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
                      Case{"FlagZeroIsNotSent", 3, opened(HeaderVerdict::skip), true, FileStep::not_sent, 0}),
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
