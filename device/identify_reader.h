#pragma once
// Reads the device's answer to the identify byte on its read pipe. Pure: the
// pipe is reached through PipePort.
#include <atomic>
#include <cstdint>

#include "win/pipe_port.h"

namespace pw {

constexpr std::uint8_t kIdentifyByte = 0x40;
constexpr std::uint8_t kExpectedReplyByte = 0x56;  // 'V'
constexpr std::uint32_t kReplyReadLength = 10;
constexpr std::uint32_t kReaderPassLimit = 3002;
constexpr std::uint32_t kIdentifyReadWaitMs = 1000;

// The process-wide instance lives with the window; the reader only writes it.
struct DeviceState {
  // Set (release) once a reply starting with kExpectedReplyByte arrived; never
  // cleared by the reader.
  std::atomic<bool> identified{false};
  // The first reply a reader received, right or wrong (a wrong one is kept for
  // the record only): written once, before `reply_size` becomes non-zero and
  // before `identified` becomes true, so it may be read after an acquire load
  // of either that sees it set.
  std::uint8_t reply[kReplyReadLength]{};
  std::atomic<std::uint32_t> reply_size{0};
};

// Reads the in pipe, each read waited for kIdentifyReadWaitMs (with one repeat
// after a timed-out read), until the first read that delivers a reply, for at
// most kReaderPassLimit passes. Returns then, or soon after `stop_requested` is set; to wake it from a wait, cancel the
// pipe's I/O from the stopping thread after setting the flag. Every read it
// started has ended when it returns.
void run_identify_reader(PipePort& in_pipe, DeviceState& state, const std::atomic<bool>& stop_requested);

}  // namespace pw
