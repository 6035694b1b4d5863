#include "device/image_bitness.h"

namespace pw {

namespace {
constexpr std::size_t kNewHeaderOffsetField = 0x3C;
constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kMachineAmd64 = 0x8664;

std::uint32_t little_endian(const std::uint8_t* p, std::size_t n) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = n; i-- > 0;) value = (value << 8) | p[i];
  return value;
}
}  // namespace

ImageBitness image_bitness(const std::uint8_t* data, std::size_t size) noexcept {
  if (data == nullptr || size < kNewHeaderOffsetField + 4 || data[0] != 'M' || data[1] != 'Z')
    return ImageBitness::unknown;
  const std::uint32_t pe = little_endian(data + kNewHeaderOffsetField, 4);
  // The signature and the machine field: 6 bytes from the offset, checked without overflow.
  if (pe > size || size - pe < 6) return ImageBitness::unknown;
  if (data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] != 0 || data[pe + 3] != 0) return ImageBitness::unknown;
  switch (little_endian(data + pe + 4, 2)) {
    case kMachineI386: return ImageBitness::bits32;
    case kMachineAmd64: return ImageBitness::bits64;
    default: return ImageBitness::unknown;
  }
}

}  // namespace pw
