#pragma once
// Which processes can load a Windows executable image: read from its PE header.
#include <cstddef>
#include <cstdint>

namespace pw {

enum class ImageBitness { unknown, bits32, bits64 };

// The bitness of the image whose first `size` bytes are `data`; unknown when they
// hold no PE header or name a machine no updater build runs on.
ImageBitness image_bitness(const std::uint8_t* data, std::size_t size) noexcept;

// The bitness of this build's own processes.
inline constexpr ImageBitness kOwnBitness = sizeof(void*) == 4 ? ImageBitness::bits32 : ImageBitness::bits64;

}  // namespace pw
