#pragma once
// A file read in slices, each of which must make progress within a bound: a stuck
// network share or a failing drive ends the read as stalled, never hangs it, and a
// stop asked from another thread ends it within one poll. Both the reading of the
// update folder and the transfer worker's load read this way. Pure: the file is
// reached through FileReads and time through Clock (both win/pipe_port.h).
#include <atomic>
#include <cstdint>
#include <functional>

#include "win/pipe_port.h"

namespace pw {

constexpr std::uint32_t kReadStallMs = 15000;  // a read that makes no progress this long has failed
constexpr std::uint32_t kReadPollMs = 100;     // a stop is looked at this often
constexpr std::uint32_t kReadSliceBytes = 1u << 20;

enum class ReadEnd {
  done,     // every byte asked for was read
  failed,   // a read failed, or the file ended early
  stalled,  // a read made no progress for the bound
  stopped,  // a stop was asked
  lost,     // a cancelled read never ended: the buffer it had must never be reused or freed
};

// Where each slice goes and what is done with it once read.
struct ReadSlices {
  // The buffer for `want` bytes at `offset`.
  std::function<std::uint8_t*(std::uint64_t offset, std::uint32_t want)> buffer_at;
  std::function<void(const std::uint8_t* data, std::uint32_t size)> read;
};

// Reads bytes 0 to `size` of the file in slices of at most `slice_bytes`.
ReadEnd read_bounded(FileReads& file, Clock& clock, std::uint64_t size, const ReadSlices& slices,
                     const std::atomic<bool>& stop, std::uint32_t slice_bytes = kReadSliceBytes,
                     std::uint32_t stall_ms = kReadStallMs);

}  // namespace pw
