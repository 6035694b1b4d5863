#pragma once
// Layout of an update file: a 1024-byte header block, then the payload.
// Only the first 48 bytes of the block (the command header) go to the device.
#include <cstddef>
#include <cstdint>

namespace pw {

constexpr std::size_t kHeaderBlockSize = 1024;
constexpr std::size_t kCommandHeaderSize = 48;
// The header block plus the shortest payload the device accepts.
constexpr std::size_t kHeaderCheckSize = kHeaderBlockSize + 4;
constexpr std::uint32_t kChunkSize = 2048;
constexpr std::uint8_t kHeaderMarker = 0x24;  // '$'

enum class HeaderVerdict {
  too_short,   // fewer than kHeaderCheckSize bytes
  bad_marker,  // byte 0 is not kHeaderMarker
  skip,        // valid, but its send flag (byte 1) says it is not to be sent
  send,        // valid and to be sent
};

// Length and marker are judged before the send flag, so a short file is never
// taken for one that is merely not to be sent.
HeaderVerdict check_update_header(const std::uint8_t* data, std::size_t size);

}  // namespace pw
