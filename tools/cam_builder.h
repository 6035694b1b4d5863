#pragma once
// Builds update files in memory: the header block (marker, send flag, command
// header, filler), then the payload. Used by camtool and by the tests.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "update/update_file.h"

namespace pw::tools {

using Bytes = std::vector<std::uint8_t>;

struct CamFields {
  std::uint8_t send_flag = 1;
  std::uint8_t marker = kHeaderMarker;
  std::uint8_t filler = 0;  // bytes 48..1023, which never reach the device
  Bytes command;            // bytes 2..47 of the command header
};

// A payload of `size` bytes from a seeded generator: repeatable and varied.
inline Bytes generated_payload(std::size_t size, std::uint32_t seed) {
  Bytes payload(size);
  std::uint32_t x = seed ? seed : 1;
  for (auto& b : payload) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return payload;
}

inline Bytes build_update_file(const CamFields& fields, const Bytes& payload) {
  Bytes file(kHeaderBlockSize, fields.filler);
  file[0] = fields.marker;
  file[1] = fields.send_flag;
  for (std::size_t i = 0; i < fields.command.size() && 2 + i < kCommandHeaderSize; ++i) file[2 + i] = fields.command[i];
  file.insert(file.end(), payload.begin(), payload.end());
  return file;
}

// What the device receives for a file that is sent: the command header, then the payload.
inline Bytes device_stream(const Bytes& file) {
  if (check_update_header(file.data(), file.size()) != HeaderVerdict::send) return {};
  Bytes stream(file.begin(), file.begin() + kCommandHeaderSize);
  stream.insert(stream.end(), file.begin() + kHeaderBlockSize, file.end());
  return stream;
}

}  // namespace pw::tools
