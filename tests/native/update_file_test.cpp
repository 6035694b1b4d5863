#include "update/update_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "update/update_folder.h"

namespace {

using pw::HeaderVerdict;

struct HeaderCase {
  const char* name;
  std::size_t size;
  int marker;  // -1: leave the file's marker as '$'
  std::uint8_t flag;
  HeaderVerdict expected;
};

class UpdateHeaderCheck : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(UpdateHeaderCheck, JudgesLengthThenMarkerThenSendFlag) {
  const HeaderCase& c = GetParam();
  std::vector<std::uint8_t> file(c.size, 0x5A);
  if (!file.empty()) file[0] = c.marker < 0 ? 0x24 : static_cast<std::uint8_t>(c.marker);
  if (file.size() > 1) file[1] = c.flag;
  EXPECT_EQ(pw::check_update_header(file.data(), file.size()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UpdateHeaderCheck,
    ::testing::Values(HeaderCase{"Empty", 0, -1, 1, HeaderVerdict::too_short},
                      HeaderCase{"OneShortWithFlagZero", 1027, -1, 0, HeaderVerdict::too_short},
                      HeaderCase{"OneShortWithBadMarker", 1027, 'X', 1, HeaderVerdict::too_short},
                      HeaderCase{"ShortestSent", 1028, -1, 0x01, HeaderVerdict::send},
                      HeaderCase{"FlagHighBit", 1028, -1, 0x80, HeaderVerdict::send},
                      HeaderCase{"FlagAllBits", 4096, -1, 0xFF, HeaderVerdict::send},
                      HeaderCase{"FlagZeroNotSent", 1028, -1, 0x00, HeaderVerdict::skip},
                      HeaderCase{"MarkerLowercase", 1028, 'S', 1, HeaderVerdict::bad_marker},
                      HeaderCase{"MarkerZeroBeforeFlagZero", 1028, 0x00, 0, HeaderVerdict::bad_marker},
                      HeaderCase{"MarkerOffByOne", 1028, 0x25, 1, HeaderVerdict::bad_marker}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST(UpdateHeaderCheck, IgnoresTheUnsentPartOfTheHeaderBlock) {
  std::vector<std::uint8_t> file(1028, 0x00);
  file[0] = 0x24;
  file[1] = 0x01;
  const HeaderVerdict before = pw::check_update_header(file.data(), file.size());
  for (std::size_t i = pw::kCommandHeaderSize; i < pw::kHeaderBlockSize; ++i) file[i] = 0xFF;
  EXPECT_EQ(before, HeaderVerdict::send);
  EXPECT_EQ(pw::check_update_header(file.data(), file.size()), HeaderVerdict::send);
}

struct ReloadCase {
  const char* name;
  std::size_t changed_at;  // SIZE_MAX: nothing changed
  std::size_t loaded_size;
  bool read_whole;  // the folder's reading got every byte
  bool sent;
};

class LoadedFile : public ::testing::TestWithParam<ReloadCase> {};

// Only the bytes the folder was read with go out: any change since, even one the
// header check would pass, keeps the file from the device.
TEST_P(LoadedFile, IsSentOnlyAsTheFolderWasRead) {
  const ReloadCase& c = GetParam();
  std::vector<std::uint8_t> read(5000, 0x11);
  read[0] = 0x24;
  read[1] = 0x01;
  pw::FolderFile as_read;
  as_read.size = read.size();
  if (c.read_whole) as_read.sha256 = pw::sha256_of(read.data(), read.size());
  std::vector<std::uint8_t> loaded(read);
  loaded.resize(c.loaded_size, 0x11);
  if (c.changed_at < loaded.size()) loaded[c.changed_at] = static_cast<std::uint8_t>(loaded[c.changed_at] ^ 0xFF);
  EXPECT_EQ(pw::loaded_as_read(as_read, loaded.size(), *pw::sha256_of(loaded.data(), loaded.size())), c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoadedFile,
    ::testing::Values(ReloadCase{"Unchanged", SIZE_MAX, 5000, true, true},
                      ReloadCase{"PayloadChangedAfterTheReading", 4000, 5000, true, false},
                      ReloadCase{"SendFlagCleared", 1, 5000, true, false},
                      ReloadCase{"UnsentPartChanged", 1000, 5000, true, false},
                      ReloadCase{"GrewByAByte", SIZE_MAX, 5001, true, false},
                      ReloadCase{"NeverReadWhole", SIZE_MAX, 5000, false, false}),
    [](const ::testing::TestParamInfo<ReloadCase>& info) { return std::string(info.param.name); });

TEST(UpdateHeaderCheck, NullDataIsTooShort) {
  EXPECT_EQ(pw::check_update_header(nullptr, 5000), HeaderVerdict::too_short);
}

}  // namespace
