#include "device/image_bitness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// An image head: "MZ", the PE header's offset at 0x3C, then "PE\0\0" and the machine.
std::vector<std::uint8_t> image_head(std::uint16_t machine, std::uint32_t pe_offset = 0x80, std::size_t size = 0x200) {
  std::vector<std::uint8_t> head(size, 0);
  head[0] = 'M';
  head[1] = 'Z';
  for (int i = 0; i < 4; ++i) head[0x3C + i] = static_cast<std::uint8_t>(pe_offset >> (8 * i));
  const std::uint8_t pe[6] = {'P', 'E', 0, 0, static_cast<std::uint8_t>(machine),
                              static_cast<std::uint8_t>(machine >> 8)};
  for (std::size_t i = 0; i < 6; ++i)  // as much as fits
    if (pe_offset < size && i < size - pe_offset) head[pe_offset + i] = pe[i];
  return head;
}

TEST(ImageBitness, ReadsTheMachineOfThePeHeaderAndNothingElse) {
  using pw::ImageBitness;
  struct Row {
    const char* what;
    std::vector<std::uint8_t> head;
    ImageBitness expected;
  };
  std::vector<std::uint8_t> not_mz = image_head(0x014C);
  not_mz[0] = 'X';
  std::vector<std::uint8_t> no_signature = image_head(0x8664);
  no_signature[0x81] = 'X';
  const Row rows[] = {
      {"i386", image_head(0x014C), ImageBitness::bits32},
      {"amd64", image_head(0x8664), ImageBitness::bits64},
      {"arm64 loads in neither build", image_head(0xAA64), ImageBitness::unknown},
      {"no MZ", not_mz, ImageBitness::unknown},
      {"no PE signature", no_signature, ImageBitness::unknown},
      {"header offset past the end", image_head(0x014C, 0xFFFFFFF0u), ImageBitness::unknown},
      {"machine field cut off", image_head(0x014C, 0x1FB), ImageBitness::unknown},
      {"last field just fits", image_head(0x8664, 0x1FA), ImageBitness::bits64},
      {"shorter than the offset field", std::vector<std::uint8_t>{'M', 'Z', 0, 0}, ImageBitness::unknown},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(pw::image_bitness(row.head.data(), row.head.size()), row.expected) << row.what;
  }
  EXPECT_EQ(pw::image_bitness(nullptr, 0), ImageBitness::unknown);
}

}  // namespace
