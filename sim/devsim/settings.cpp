#include "sim/devsim/settings.h"

#include <cctype>

namespace pw {
namespace sim {

const char kUsage[] =
    "devsim - simulated USB device on named pipes\n"
    "usage: devsim [options]\n"
    "  --device NAME        device name (default: PUSHWELL_SIM_DEVICE, else sim0)\n"
    "  --capture PATH       append every byte read on the out pipe to PATH (truncated at start)\n"
    "  --reply TEXT         identification reply (default V1.07)\n"
    "  --reply-hex HEX      identification reply as hex bytes, e.g. 56 31 2E 30 37\n"
    "  --reply-byte 0xNN    replace the reply's first byte\n"
    "  --no-reply           never answer an identification request\n"
    "  --reply-delay MS     answer MS milliseconds after the request arrived\n"
    "  --rate BYTES_PER_SEC read the out pipe no faster than this (default unlimited)\n"
    "  --unplug-after N     unplug once N bytes have been read on the out pipe\n"
    "  --stall-after N      stop reading the out pipe after N bytes\n"
    "  --fail-after N       drop the out connection that reaches N bytes\n"
    "  --unplugged          start unplugged\n"
    "  --refuse-load        start with the library refusing to load\n"
    "  --refuse-probe       open_dev finds no device while the pipes keep working\n"
    "  --slow-open MS       open_file(\"PIPE00\") takes MS milliseconds\n"
    "  --slow-open-fails    ... and then fails (with --slow-open)\n"
    "  --slow-open-from N   ... only from the N-th open of PIPE00 on (with --slow-open)\n"
    "  --hang-probe MS      open_dev does not return for MS milliseconds\n"
    "  --parent-pid PID     exit when process PID ends\n"
    "  --verbose            log events to stderr\n"
    "control pipe \\\\.\\pipe\\pushwell-sim.NAME.ctl, one command per message:\n"
    "  ping | status | plug | unplug | stop | flush | reset | reset-counters\n"
    "  reply default|none|text T|hex H|byte 0xNN|delay MS\n"
    "  rate BPS | fault unplug|stall|fail N | fault none | refuse-load on|off\n"
    "  refuse-out-pipe on|off   (open_file(\"PIPE00\") fails while the device stays plugged)\n"
    "  refuse-probe on|off      (open_dev finds no device while the pipes keep working)\n"
    "  slow-open MS [fail] [from N] | slow-open off   (open_file(\"PIPE00\") takes MS ms, then fails\n"
    "                           with fail, from its N-th open on; off releases an open held now)\n"
    "  hang-probe MS | hang-probe off   (open_dev does not return for MS ms; off releases it)\n";

bool parse_number(const std::string& text, std::uint64_t* value) {
  if (text.empty()) return false;
  unsigned base = 10;
  std::size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  std::uint64_t v = 0;
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    } else {
      return false;
    }
    if (v > (UINT64_MAX - digit) / base) return false;
    v = v * base + digit;
  }
  *value = v;
  return true;
}

bool parse_hex_bytes(const std::string& text, std::string* bytes) {
  std::string out;
  int high = -1;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (std::isspace(c)) {
      if (high >= 0) return false;  // a byte split by a space
      continue;
    }
    if (!std::isxdigit(c)) return false;
    const int digit = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0 || out.empty()) return false;
  *bytes = out;
  return true;
}

std::string to_hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

bool apply_reply_setting(ReplySettings* reply, const std::string& kind, const std::string& value,
                         std::string* error) {
  const bool needs_value = kind == "text" || kind == "hex" || kind == "byte" || kind == "delay";
  if (needs_value == value.empty()) {
    *error = needs_value ? "reply " + kind + " needs a value" : "reply " + kind + " takes no value";
    return false;
  }
  if (kind == "default") {
    *reply = ReplySettings{};
  } else if (kind == "none") {
    reply->enabled = false;
  } else if (kind == "text") {
    reply->enabled = true;
    reply->bytes = value;
  } else if (kind == "hex") {
    std::string bytes;
    if (!parse_hex_bytes(value, &bytes)) {
      *error = "bad hex bytes: " + value;
      return false;
    }
    reply->enabled = true;
    reply->bytes = bytes;
  } else if (kind == "byte") {
    std::uint64_t b = 0;
    if (!parse_number(value, &b) || b > 0xFF) {
      *error = "bad byte: " + value;
      return false;
    }
    reply->enabled = true;
    if (reply->bytes.empty()) reply->bytes.push_back(' ');
    reply->bytes[0] = static_cast<char>(b);
  } else if (kind == "delay") {
    std::uint64_t ms = 0;
    if (!parse_number(value, &ms) || ms > 600000) {
      *error = "bad delay: " + value;
      return false;
    }
    reply->delay_ms = static_cast<unsigned>(ms);
  } else {
    *error = "unknown reply mode: " + kind;
    return false;
  }
  return true;
}

bool parse_hold_ms(const std::string& text, unsigned* ms) {
  std::uint64_t value = 0;
  if (!parse_number(text, &value) || value > 60000) return false;
  *ms = static_cast<unsigned>(value);
  return true;
}

bool parse_open_ordinal(const std::string& text, unsigned* ordinal) {
  std::uint64_t value = 0;
  if (!parse_number(text, &value) || value == 0 || value > 1000000) return false;
  *ordinal = static_cast<unsigned>(value);
  return true;
}

bool parse_command_line(const std::vector<std::string>& args, Settings* settings, bool* help, std::string* error) {
  *help = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = option + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    auto number = [&](std::uint64_t* out) {
      std::string text;
      if (!value(&text)) return false;
      if (!parse_number(text, out)) {
        *error = option + ": not a number: " + text;
        return false;
      }
      return true;
    };
    // A delay that holds a caller inside the library (--slow-open, --hang-probe).
    auto hold = [&](std::optional<unsigned>* out) {
      std::string text;
      unsigned ms = 0;
      if (!value(&text)) return false;
      if (!parse_hold_ms(text, &ms)) {
        *error = option + ": bad delay: " + text;
        return false;
      }
      *out = ms;
      return true;
    };
    auto reply = [&](const char* kind) {
      std::string text;
      return value(&text) && apply_reply_setting(&settings->reply, kind, text, error);
    };
    std::uint64_t n = 0;
    if (option == "--help" || option == "-h" || option == "/?") {
      *help = true;
    } else if (option == "--device") {
      if (!value(&settings->device)) return false;
    } else if (option == "--capture") {
      if (!value(&settings->capture_path)) return false;
    } else if (option == "--reply") {
      if (!reply("text")) return false;
    } else if (option == "--reply-hex") {
      if (!reply("hex")) return false;
    } else if (option == "--reply-byte") {
      if (!reply("byte")) return false;
    } else if (option == "--reply-delay") {
      if (!reply("delay")) return false;
    } else if (option == "--no-reply") {
      settings->reply.enabled = false;
    } else if (option == "--rate") {
      if (!number(&settings->rate)) return false;
    } else if (option == "--unplug-after") {
      if (!number(&n)) return false;
      settings->faults.unplug_after = n;
    } else if (option == "--stall-after") {
      if (!number(&n)) return false;
      settings->faults.stall_after = n;
    } else if (option == "--fail-after") {
      if (!number(&n)) return false;
      settings->faults.fail_after = n;
    } else if (option == "--unplugged") {
      settings->start_plugged = false;
    } else if (option == "--refuse-load") {
      settings->refuse_load = true;
    } else if (option == "--refuse-probe") {
      settings->refuse_probe = true;
    } else if (option == "--slow-open") {
      if (!hold(&settings->slow_open_ms)) return false;
    } else if (option == "--slow-open-fails") {
      settings->slow_open_fails = true;
    } else if (option == "--slow-open-from") {
      std::string text;
      if (!value(&text)) return false;
      if (!parse_open_ordinal(text, &settings->slow_open_from)) {
        *error = "--slow-open-from: bad open number: " + text;
        return false;
      }
    } else if (option == "--hang-probe") {
      if (!hold(&settings->hang_probe_ms)) return false;
    } else if (option == "--parent-pid") {
      if (!number(&n) || n == 0 || n > UINT32_MAX) {
        if (error->empty()) *error = "--parent-pid: bad process id";
        return false;
      }
      settings->parent_pid = static_cast<std::uint32_t>(n);
    } else if (option == "--verbose" || option == "-v") {
      settings->verbose = true;
    } else {
      *error = "unknown option: " + option;
      return false;
    }
  }
  if ((settings->slow_open_fails || settings->slow_open_from != 1) && !settings->slow_open_ms) {
    *error = "--slow-open-fails and --slow-open-from need --slow-open";
    return false;
  }
  return true;
}

}  // namespace sim
}  // namespace pw
