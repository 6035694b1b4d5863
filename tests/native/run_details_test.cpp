#include "host/run_details.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using std::chrono::milliseconds;

TEST(RunDetails, StampsEachEventAndKeepsItOnOneLine) {
  pw::RunDetails details;
  details.add_at(milliseconds(0), "started");
  details.add_at(milliseconds(61234), "box \"Done.\r\nfirmware.cam\nsound.cam\" answered OK");
  details.add_at(milliseconds(-5), "clock went back");
  const std::vector<std::string> lines = details.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "+0.000 started");
  EXPECT_EQ(lines[1], "+61.234 box \"Done.\\nfirmware.cam\\nsound.cam\" answered OK");
  EXPECT_EQ(lines[2], "+0.000 clock went back");
  EXPECT_EQ(details.text(), lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2] + "\r\n");
}

TEST(RunDetails, ALongRunKeepsItsFirstAndLastLinesAndSaysHowManyWereLeftOut) {
  pw::RunDetails details;
  const std::size_t events = pw::RunDetails::kMaxLines + 345;
  for (std::size_t i = 0; i < events; ++i) details.add_at(milliseconds(i), "event " + std::to_string(i));
  const std::vector<std::string> lines = details.lines();
  ASSERT_EQ(lines.size(), pw::RunDetails::kMaxLines) << "the line that says so included";
  EXPECT_EQ(lines[0], "+0.000 event 0");
  EXPECT_EQ(lines[199], "+0.199 event 199");
  EXPECT_EQ(lines[200], "... 346 lines left out ...");
  EXPECT_EQ(lines[201], "+0.546 event 546");
  EXPECT_EQ(lines.back(), "+2.344 event 2344");

  pw::RunDetails exactly_full;
  for (std::size_t i = 0; i < pw::RunDetails::kMaxLines; ++i) exactly_full.add_at(milliseconds(i), "e");
  EXPECT_EQ(exactly_full.lines().size(), pw::RunDetails::kMaxLines) << "nothing left out, nothing said";
}

}  // namespace
