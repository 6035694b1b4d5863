#pragma once
// What the simulated device does, from its command line or control commands.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pw {
namespace sim {

struct ReplySettings {
  bool enabled = true;          // false: identification requests get no answer
  std::string bytes = "V1.07";  // sent whole, in one write
  unsigned delay_ms = 0;        // from the request's arrival
};

// Each threshold counts bytes read on the out pipe since start or since the
// counters were last reset.
struct FaultSettings {
  std::optional<std::uint64_t> unplug_after;  // fires once: unplug
  std::optional<std::uint64_t> stall_after;   // holds until cleared: stop reading
  std::optional<std::uint64_t> fail_after;    // fires once: drop that out connection
};

struct Settings {
  std::string device;
  std::string capture_path;  // empty: count bytes, keep none
  ReplySettings reply;
  std::uint64_t rate = 0;  // bytes per second read from the out pipe; 0 = unlimited
  FaultSettings faults;
  bool start_plugged = true;
  bool refuse_load = false;
  bool refuse_probe = false;              // open_dev finds no device while the pipes work
  std::optional<unsigned> slow_open_ms;   // open_file("PIPE00") takes this long
  bool slow_open_fails = false;           // ... and then fails
  unsigned slow_open_from = 1;            // ... from this open of PIPE00 on (1: every one)
  std::optional<unsigned> hang_probe_ms;  // open_dev does not return for this long
  std::uint32_t parent_pid = 0;  // exit when this process ends; 0 = none
  bool verbose = false;
};

// Decimal or 0x-prefixed hexadecimal, the whole string.
bool parse_number(const std::string& text, std::uint64_t* value);
// Pairs of hex digits, spaces allowed between bytes.
bool parse_hex_bytes(const std::string& text, std::string* bytes);
std::string to_hex(const std::string& bytes);

// `kind` is one of: default, none, text, hex, byte, delay (the control command's
// words). Returns false with `error` set when the value does not fit the kind.
bool apply_reply_setting(ReplySettings* reply, const std::string& kind, const std::string& value,
                         std::string* error);

// How long the library holds a call (a slow open, a hung probe), in ms: at most
// a minute. False when `text` is none.
bool parse_hold_ms(const std::string& text, unsigned* ms);
// From which open of the out pipe on an open is slow: 1 or more.
bool parse_open_ordinal(const std::string& text, unsigned* ordinal);

// argv[0] excluded. False with `error` for an unknown option or bad value;
// `help` is set when --help was given.
bool parse_command_line(const std::vector<std::string>& args, Settings* settings, bool* help, std::string* error);

extern const char kUsage[];

}  // namespace sim
}  // namespace pw
