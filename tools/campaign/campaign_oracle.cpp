#include "tools/campaign/campaign_oracle.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace pw::campaign {

namespace {
constexpr char kWrongDeviceText[] = "This is Not ZORVIK !";
}  // namespace

const char* outcome_name(Outcome outcome) noexcept {
  for (const OutcomeRow& row : kOutcomes)
    if (row.outcome == outcome && row.name) return row.name;
  switch (outcome) {
    case Outcome::interrupted: return "interrupted before the command";
    case Outcome::no_command: return "no command";
    default: return "unknown";
  }
}

namespace {

// ---- The program's words ------------------------------------------------------------

// One flat JSON object of the console program: strings, numbers, booleans and
// arrays of strings, which is all it writes.
struct JsonObject {
  std::map<std::string, std::string> values;
  std::vector<std::string> lines;  // the one array (the details' "lines")
};

bool read_json_string(const std::string& s, std::size_t* i, std::string* out) {
  if (*i >= s.size() || s[*i] != '"') return false;
  for (++*i; *i < s.size(); ++*i) {
    const char c = s[*i];
    if (c == '"') {
      ++*i;
      return true;
    }
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++*i >= s.size()) return false;
    switch (s[*i]) {
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'u':
        if (*i + 4 >= s.size()) return false;
        out->push_back(static_cast<char>(std::strtoul(s.substr(*i + 1, 4).c_str(), nullptr, 16)));
        *i += 4;
        break;
      default: out->push_back(s[*i]);
    }
  }
  return false;
}

std::optional<JsonObject> parse_json_line(const std::string& s) {
  JsonObject object;
  std::size_t i = 0;
  if (s.empty() || s[i++] != '{') return std::nullopt;
  while (i < s.size() && s[i] != '}') {
    std::string key;
    if (!read_json_string(s, &i, &key) || i >= s.size() || s[i++] != ':') return std::nullopt;
    if (i < s.size() && s[i] == '"') {
      std::string value;
      if (!read_json_string(s, &i, &value)) return std::nullopt;
      object.values[key] = value;
    } else if (i < s.size() && s[i] == '[') {
      ++i;
      while (i < s.size() && s[i] != ']') {
        std::string line;
        if (!read_json_string(s, &i, &line)) return std::nullopt;
        object.lines.push_back(line);
        if (i < s.size() && s[i] == ',') ++i;
      }
      if (i++ >= s.size()) return std::nullopt;
    } else {
      const std::size_t end = s.find_first_of(",}", i);
      if (end == std::string::npos) return std::nullopt;
      object.values[key] = s.substr(i, end - i);
      i = end;
    }
    if (i < s.size() && s[i] == ',') ++i;
  }
  if (i >= s.size()) return std::nullopt;
  return object;
}

bool text_matches(const std::string& actual, const std::string& wanted) {
  if (wanted.empty()) return false;
  return actual == wanted || (actual.size() > wanted.size() && actual.compare(0, wanted.size(), wanted) == 0 &&
                              (actual[wanted.size()] == '\n' || actual[wanted.size()] == '\r'));
}

std::optional<std::size_t> slot_named(const std::string& name) {
  for (std::size_t slot = 0; slot < kSlots; ++slot)
    if (name == kSlotNames[slot]) return slot;
  return std::nullopt;
}

// A details line without its time stamp.
std::string event_of(const std::string& line) {
  const std::size_t space = line.find(' ');
  return line.size() > 1 && line[0] == '+' && space != std::string::npos ? line.substr(space + 1) : line;
}

std::optional<Outcome> outcome_named(const std::string& name) {
  for (const OutcomeRow& row : kOutcomes)
    if (row.name && name == row.name) return row.outcome;
  return std::nullopt;
}

std::optional<Outcome> outcome_of_status(std::uint32_t status) {
  for (const OutcomeRow& row : kOutcomes)
    if (row.exit_status == status) return row.outcome;
  return std::nullopt;
}

std::optional<std::uint32_t> status_of(Outcome outcome) {
  for (const OutcomeRow& row : kOutcomes)
    if (row.outcome == outcome) return row.exit_status;
  return std::nullopt;
}

enum class Said { sent, not_sent, failed };

// What the program said happened, in one shape for both programs.
struct Report {
  bool completion_claimed = false;
  Outcome outcome = Outcome::unknown;
  std::vector<std::pair<std::size_t, Said>> results;  // in the order said
  std::optional<std::uint32_t> end_exit;              // the console's `end` event
  std::vector<std::string> details;
  bool command_began = false;
  bool ended_without_box = false;  // the dialog ended with no box that ends it
  std::vector<std::string> problems;  // words the oracle could not read, or that disagree with each other
};

const std::string kEndedPrefix = "update command ended: ";

// The last "update command ended" of the details, and whether a command began.
std::optional<Outcome> details_outcome(const std::vector<std::string>& details, bool* began) {
  std::optional<Outcome> outcome;
  for (const std::string& line : details) {
    const std::string event = event_of(line);
    if (event == "update command begins") {
      *began = true;
      outcome.reset();
    }
    if (event.compare(0, kEndedPrefix.size(), kEndedPrefix) == 0) {
      const std::string rest = event.substr(kEndedPrefix.size());
      outcome = outcome_named(rest.substr(0, rest.find(',')));
      if (!outcome) outcome = Outcome::unknown;
    }
  }
  return outcome;
}

void details_results(const std::vector<std::string>& details, Report* report) {
  static const std::string kResult = "result of ";
  for (const std::string& line : details) {
    const std::string event = event_of(line);
    if (event.compare(0, kResult.size(), kResult) != 0) continue;
    const std::size_t colon = event.find(": ");
    const std::optional<std::size_t> slot = slot_named(event.substr(kResult.size(), colon - kResult.size()));
    if (!slot || colon == std::string::npos) continue;
    const std::string said = event.substr(colon + 2, event.find(',', colon) - colon - 2);
    report->results.emplace_back(*slot, said == "sent" ? Said::sent : said == "failed" ? Said::failed : Said::not_sent);
  }
}

Report console_report(const Record& record) {
  Report report;
  for (const std::string& line : record.output) {
    if (line.empty()) continue;
    const std::optional<JsonObject> object = parse_json_line(line);
    if (!object) {
      report.problems.push_back("a line that is no JSON object: " + line);
      continue;
    }
    const auto value = [&](const char* key) {
      const auto it = object->values.find(key);
      return it == object->values.end() ? std::string() : it->second;
    };
    const std::string event = value("event");
    if (event == "result") {
      const std::optional<std::size_t> slot = slot_named(value("file"));
      const std::string outcome = value("outcome");
      if (slot)
        report.results.emplace_back(*slot, outcome == "sent"     ? Said::sent
                                           : outcome == "failed" ? Said::failed
                                                                 : Said::not_sent);
    } else if (event == "message") {
      if (text_matches(value("text"), record.texts.finished)) report.completion_claimed = true;
    } else if (event == "end") {
      report.end_exit = static_cast<std::uint32_t>(std::strtoul(value("exit").c_str(), nullptr, 10));
    } else if (event == "details") {
      report.details = object->lines;
    }
  }
  bool began = false;
  const std::optional<Outcome> said = details_outcome(report.details, &began);
  report.command_began = began;
  if (said) {
    report.outcome = *said;
  } else if (record.exit_status) {
    report.outcome = outcome_of_status(*record.exit_status).value_or(Outcome::unknown);
  }
  if (record.exit_status && *record.exit_status == 0) report.completion_claimed = true;
  if (report.end_exit && *report.end_exit == 0) report.completion_claimed = true;
  return report;
}

Report dialog_report(const Record& record) {
  Report report;
  report.details = record.details;
  details_results(report.details, &report);
  bool began = false;
  const std::optional<Outcome> said = details_outcome(report.details, &began);
  report.command_began = began;
  for (const std::string& box : record.output)
    if (text_matches(box, record.texts.finished)) report.completion_claimed = true;
  if (record.closed_by_runner) {
    report.outcome = said ? *said : began ? Outcome::unknown : Outcome::no_command;
    return report;
  }
  // It ended itself: after a box that ends it, which says how.
  const Texts& t = record.texts;
  for (auto box = record.output.rbegin(); box != record.output.rend(); ++box) {
    if (*box == kWrongDeviceText) {
      report.outcome = Outcome::wrong_device;
      return report;
    }
    const std::string* texts[] = {&t.finished, &t.database_missing, &t.device_lost};
    for (std::size_t i = 0; i < 3; ++i)
      if (text_matches(*box, *texts[i])) {
        report.outcome = kEndingBoxes[i].outcome;
        // The lost-device question after a command that had already ended
        // (a file refused, say) ends the process, but the command's outcome stands.
        if (kEndingBoxes[i].key == 1021 && said) report.outcome = *said;
        return report;
      }
  }
  // Closed another way (the runner copies the details just before each close it
  // makes): allowed once its command has ended, as a user's close is.
  report.ended_without_box = true;
  report.outcome = said ? *said : began ? Outcome::unknown : Outcome::no_command;
  return report;
}

// ---- The capture --------------------------------------------------------------------

struct Piece {
  std::size_t slot;
  bool whole;
};

// What each slot may put at the device, in order: the streams it may send
// whole (none: it sends nothing); whether it may send nothing and the update
// go on (a file cleared of its send flag, or added too late). A slot that sends
// nothing otherwise ends the update there.
struct SlotStreams {
  std::vector<Bytes> streams;
  bool skippable = false;
};

struct Expectation {
  std::vector<SlotStreams> slots;  // up to the first file refused at the start (not included)
  std::optional<std::size_t> refused_slot;
  bool database_missing = false;
};

bool fired_at(const Plan& plan, const Record& record, FaultKind kind, std::size_t slot) {
  return std::any_of(record.fired.begin(), record.fired.end(), [&](const FiredFault& f) {
    return f.index < plan.faults.size() && plan.faults[f.index].kind == kind && plan.faults[f.index].slot == slot;
  });
}

bool is_signed(const Plan& plan) { return plan.signing != Signing::none; }

// A details line's time stamp, in ms since the program started.
std::optional<double> stamp_ms(const std::string& line) {
  if (line.size() < 2 || line[0] != '+') return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(line.c_str() + 1, &end);
  return end == line.c_str() + 1 ? std::nullopt : std::optional<double>(seconds * 1000);
}

// From when, on the runner's clock, the folder's reading had surely ended. The
// program's clock starts at its own start, not the runner's, so the two are
// placed by the identification: it began (the details' "identification" line
// less what it took) before its byte went out, and the runner saw that byte at
// `first_byte_ms`, so the program's zero lies at most `first_byte_ms - began`
// on the runner's clock; the reading had ended (the folder's verdict) `began -
// verdict` before the identification began.
std::optional<double> reading_ended_by(const Record& record, const std::vector<std::string>& details) {
  if (!record.first_byte_ms) return std::nullopt;
  static const std::string kVerdict = "update folder verdict", kIdentification = "identification: ", kTook = ", took ";
  std::optional<double> verdict;
  double gap = -1;  // from the verdict to the identification's beginning; -1 while unknown
  for (const std::string& line : details) {
    const std::string event = event_of(line);
    if (event.compare(0, kVerdict.size(), kVerdict) == 0) {
      verdict = stamp_ms(line);
      gap = -1;
    }
    const std::size_t took = event.rfind(kTook);
    const std::optional<double> at = stamp_ms(line);
    if (verdict && gap < 0 && at && took != std::string::npos &&
        event.compare(0, kIdentification.size(), kIdentification) == 0)
      gap = std::max(0.0, *at - std::strtod(event.c_str() + took + kTook.size(), nullptr) * 1000 - *verdict);
  }
  if (gap < 0) return std::nullopt;
  constexpr double kStampsRoundedMs = 20;  // stamps and the time taken are rounded, on two clocks
  return *record.first_byte_ms - gap + kStampsRoundedMs;
}

// Whether a fault that fired struck after the folder's reading had surely ended:
// the device had the identification byte before it struck (it goes out only once
// the folder as read has been judged), or it struck after the moment the
// details place the reading's end. Else either side of the reading is allowed.
bool struck_after_reading(const FiredFault& f, std::optional<double> reading_ended) {
  return f.device_bytes > 0 || (reading_ended && static_cast<double>(f.at_ms) > *reading_ended);
}
bool struck_after_reading(const Record& record, std::size_t index, std::optional<double> reading_ended) {
  return std::any_of(record.fired.begin(), record.fired.end(), [&](const FiredFault& f) {
    return f.index == index && struck_after_reading(f, reading_ended);
  });
}

Expectation expect(const Plan& plan, const Record& record, std::optional<double> reading_ended) {
  Expectation e;
  for (std::size_t slot = 0; slot < kSlots; ++slot) {
    SlotStreams s;
    const PlannedFile* file = plan.file_in(slot);
    if (file) {
      const Bytes bytes = file_bytes(*file);
      const HeaderVerdict verdict = check_update_header(bytes.data(), bytes.size());
      if (file->damage == Damage::locked || verdict == HeaderVerdict::too_short ||
          verdict == HeaderVerdict::bad_marker) {
        e.refused_slot = slot;
        return e;
      }
      if (verdict == HeaderVerdict::send) s.streams.push_back(tools::device_stream(bytes));
      if (fired_at(plan, record, FaultKind::file_changed, slot)) {
        // The old or the new file whole, or none when it is refused as changed; a
        // signed folder's new bytes were never signed. Changed after the reading,
        // only the bytes as read may go out: the new ones are refused.
        for (std::size_t i = 0; i < plan.faults.size(); ++i) {
          const Fault& f = plan.faults[i];
          if (f.kind != FaultKind::file_changed || f.slot != slot || struck_after_reading(record, i, reading_ended))
            continue;
          const Bytes changed = changed_file_bytes(*file, f.count);
          if (check_update_header(changed.data(), changed.size()) == HeaderVerdict::skip) s.skippable = true;
          if (Bytes stream = tools::device_stream(changed); !stream.empty() && !is_signed(plan))
            s.streams.push_back(stream);
        }
      }
    } else if (fired_at(plan, record, FaultKind::file_added, slot)) {
      // Added after the reading, it was not in the folder as read: never sent.
      bool may_have_been_read = false;
      for (std::size_t i = 0; i < plan.faults.size(); ++i) {
        const Fault& f = plan.faults[i];
        if (f.kind != FaultKind::file_added || f.slot != slot || struck_after_reading(record, i, reading_ended))
          continue;
        may_have_been_read = true;
        if (!is_signed(plan)) s.streams.push_back(tools::device_stream(file_bytes(added_file(plan, f))));
      }
      s.skippable = true;
      if (!may_have_been_read && slot + 1 == kSlots) e.database_missing = true;
    } else if (slot + 1 == kSlots) {
      e.database_missing = true;
    }
    e.slots.push_back(s);
  }
  return e;
}

struct Parse {
  bool matches = false;      // the capture is a prefix of an allowed stream
  bool full = false;         // ... and all of one
  std::vector<Piece> pieces;
  bool partial() const { return !pieces.empty() && !pieces.back().whole; }
};

// Depth first over the slots' choices; the first parse found takes whole files first.
bool match_from(const Expectation& e, const Bytes& capture, std::size_t slot, std::size_t at, Parse* parse) {
  if (at == capture.size()) {
    bool full = true;
    for (std::size_t s = slot; s < e.slots.size(); ++s)
      if (!e.slots[s].streams.empty() && !e.slots[s].skippable) full = false;
    parse->matches = true;
    parse->full = full && !e.refused_slot && !e.database_missing;
    return true;
  }
  if (slot >= e.slots.size()) return false;
  const SlotStreams& s = e.slots[slot];
  for (const Bytes& stream : s.streams) {
    const std::size_t left = capture.size() - at;
    if (left >= stream.size() && std::equal(stream.begin(), stream.end(), capture.begin() + at)) {
      parse->pieces.push_back({slot, true});
      if (match_from(e, capture, slot + 1, at + stream.size(), parse)) return true;
      parse->pieces.pop_back();
    } else if (left < stream.size() && std::equal(capture.begin() + at, capture.end(), stream.begin())) {
      parse->pieces.push_back({slot, false});
      parse->matches = true;
      return true;
    }
  }
  // Sending nothing of it: the update goes on past it only where it may.
  if (s.streams.empty() || s.skippable) return match_from(e, capture, slot + 1, at, parse);
  return false;
}

Parse parse_capture(const Expectation& e, const Bytes& capture) {
  Parse parse;
  if (capture.empty()) {
    parse.matches = true;
    return parse;
  }
  if (capture[0] != 0x40) return parse;
  match_from(e, capture, 0, 1, &parse);
  return parse;
}

// ---- What may have happened -----------------------------------------------------------

// A close (Cancel, the close box, Ctrl+Break, WM_CLOSE) is obeyed only before
// the device's first byte, the identification byte; from it on it is refused.
bool close_kind(FaultKind kind) { return kind == FaultKind::close_attempt || kind == FaultKind::wm_close; }
bool close_may_stop(const Plan& plan, const Record& record, std::size_t index) {
  return std::any_of(record.fired.begin(), record.fired.end(),
                     [&](const FiredFault& r) { return r.index == index && r.device_bytes == 0; }) &&
         close_kind(plan.faults[index].kind);
}

bool fault_fired(const Plan& plan, const Record& record, std::size_t index) {
  const Fault& f = plan.faults[index];
  if (f.at_byte) return record.capture.size() >= f.at;
  return std::any_of(record.fired.begin(), record.fired.end(), [&](const FiredFault& r) { return r.index == index; });
}

std::set<Outcome> allowed_outcomes(const Plan& plan, const Record& record, const Expectation& e) {
  std::set<Outcome> allowed;
  if (plan.signing == Signing::wrong_key || plan.signing == Signing::stale_list) allowed.insert(Outcome::folder_refused);
  else if (e.refused_slot || e.database_missing) allowed.insert(Outcome::file_refused);
  else allowed.insert(Outcome::completed);
  // A signed folder's check reads every file: a locked one may be refused there.
  if (is_signed(plan) && e.refused_slot && plan.file_in(*e.refused_slot)->damage == Damage::locked)
    allowed.insert(Outcome::folder_refused);
  for (std::size_t i = 0; i < plan.faults.size(); ++i) {
    if (!fault_fired(plan, record, i)) continue;
    const Fault& f = plan.faults[i];
    switch (f.kind) {
      // Unplugged during the identification and back before its last probe, a
      // device that never answered looks like another model.
      case FaultKind::unplug: allowed.insert({Outcome::not_linked, Outcome::transfer_failed, Outcome::wrong_device}); break;
      case FaultKind::stall:
        // A stall the transfer's own patience outlasts changes nothing.
        if (f.length == 0) allowed.insert(Outcome::transfer_failed);
        break;
      case FaultKind::write_error: allowed.insert(Outcome::transfer_failed); break;
      case FaultKind::slow_open:
        if (f.length >= 15000) allowed.insert(Outcome::driver_not_answering);
        break;
      case FaultKind::hung_probe:
        allowed.insert({Outcome::not_linked, Outcome::driver_not_answering, Outcome::no_command});
        break;
      case FaultKind::refused_probe: allowed.insert({Outcome::not_linked, Outcome::no_command}); break;
      case FaultKind::file_changed:
      case FaultKind::file_added:
        allowed.insert(Outcome::file_refused);
        if (is_signed(plan)) allowed.insert(Outcome::folder_refused);
        break;
      case FaultKind::ctrl_c: allowed.insert(Outcome::interrupted); break;
      case FaultKind::low_battery: allowed.insert(Outcome::low_battery); break;
      // Asked to stop: before the device's first byte at once, during a file
      // once it has gone out whole; a close may also be refused and change nothing.
      case FaultKind::close_attempt:
        if (close_may_stop(plan, record, i)) allowed.insert({Outcome::stopped, Outcome::interrupted});
        break;
      case FaultKind::wm_close:
        if (close_may_stop(plan, record, i)) allowed.insert(Outcome::stopped);
        break;
      case FaultKind::wm_quit:
      case FaultKind::query_end_session: allowed.insert(Outcome::stopped); break;
      default: break;  // a slow line: the update goes on
    }
  }
  return allowed;
}

// What each outcome leaves at the device.
std::optional<std::string> capture_contradicts(Outcome outcome, const Parse& parse, const Bytes& capture) {
  switch (outcome) {
    case Outcome::completed:
      if (!parse.full) return std::string("reported completion, but the device did not get the whole stream");
      break;
    case Outcome::low_battery:
    case Outcome::folder_refused:
    case Outcome::interrupted:
    case Outcome::no_command:
      if (!capture.empty()) return "reported " + std::string(outcome_name(outcome)) + ", but the device got bytes";
      break;
    case Outcome::not_linked:
    case Outcome::file_refused:
    case Outcome::driver_not_answering:
    case Outcome::stopped:
      if (parse.partial())
        return "reported " + std::string(outcome_name(outcome)) + ", but a file was cut at the device";
      break;
    default: break;
  }
  return std::nullopt;
}

std::string list(const std::set<Outcome>& outcomes) {
  std::string text;
  for (const Outcome o : outcomes) text += (text.empty() ? "" : ", ") + std::string(outcome_name(o));
  return text;
}

}  // namespace

bool pair_landed(const Plan& plan, const Record& record) {
  if (plan.pair < 0) return false;
  const Pair& pair = pairs()[static_cast<std::size_t>(plan.pair)];
  for (std::size_t i = 0; i < plan.faults.size(); ++i) {
    const FaultKind kind = plan.faults[i].kind;
    if ((kind == pair.kind || (pair.with_other && kind == pair.other)) && !fault_fired(plan, record, i)) return false;
  }
  return true;
}

// The program's own bounds a fault may make it wait out.
constexpr std::uint64_t kPipeOpenBoundMs = 15000;
constexpr std::uint64_t kProbeBoundMs = 5000;
constexpr std::uint64_t kFirstProbeWaitMs = 15000;
constexpr std::uint64_t kStuckWriteMs = 15000 + 2 * 30000;  // the header's wait, then two chunk waits
// The program's start, the link, the identification and the runner's looks at
// the dialog's boxes, on a busy machine; a run's median is half a second.
constexpr std::uint64_t kRunMarginMs = 8000;

std::uint64_t bound_ms(const Plan& plan) {
  const std::uint64_t stream = stream_size(plan);
  std::uint64_t rate = 0;
  for (const Fault& f : plan.faults)
    if (f.kind == FaultKind::slow_line) rate = rate ? std::min<std::uint64_t>(rate, f.length) : f.length;
  std::uint64_t opens = 1;  // the identification's, then one a file sent
  for (const PlannedFile& file : plan.files) opens += file.flag != 0;
  // The stream at 1 MB/s (the line runs some 40), or at the slow line's rate with a quarter more.
  std::uint64_t expected = stream / 1000 + (rate ? stream * 1250 / rate : 0);
  for (const Fault& f : plan.faults) {
    switch (f.kind) {
      case FaultKind::stall: expected += f.length ? f.length : kStuckWriteMs; break;
      case FaultKind::unplug: expected += 3000; break;  // the next write or probe, and the lost device's box
      case FaultKind::slow_open:
        if (f.length >= kPipeOpenBoundMs) expected += kPipeOpenBoundMs + 1000;
        else if (opens >= f.count) expected += (opens - f.count + 1) * (f.length + 200);  // every open from it on
        break;
      case FaultKind::hung_probe: expected += std::min<std::uint64_t>(f.length, kFirstProbeWaitMs) + kProbeBoundMs; break;
      case FaultKind::refused_probe: expected += f.length + kProbeBoundMs; break;
      case FaultKind::slow_line: break;
      default: expected += 2000; break;  // a box, a close that waits for the file under way
    }
  }
  return kRunMarginMs + expected;
}

Verdict judge(const Plan& plan, const Record& record) {
  Verdict verdict;
  const auto broken = [&](BreakKind kind, std::string rule) { verdict.breaks.push_back({kind, std::move(rule)}); };
  const bool console = plan.program == Program::console;
  Report report = console ? console_report(record) : dialog_report(record);
  // A WM_QUIT at any moment; a close before the identification byte, after which
  // it is refused while the command runs; once the command has ended (it said
  // how), a close works as usual.
  const bool asked_to_close = std::any_of(record.fired.begin(), record.fired.end(), [&](const FiredFault& f) {
    const FaultKind kind = plan.faults[f.index].kind;
    return kind == FaultKind::wm_quit || close_may_stop(plan, record, f.index) ||
           (close_kind(kind) && report.outcome != Outcome::unknown);
  });
  // A dialog that a close or a WM_QUIT ends after the file under way says so to
  // no one: stopped as asked, or, with every file at the device, completed (its
  // final box may have been open when the quit came).
  const bool ended_as_asked = !console && report.outcome == Outcome::unknown && report.ended_without_box && asked_to_close;
  verdict.reported = report.outcome;

  // No hang, nothing left behind.
  if (!record.ended) broken(BreakKind::hang, "the run did not end");
  else if (record.seconds * 1000 > static_cast<double>(bound_ms(plan)))
    broken(BreakKind::hang, "the run took " + std::to_string(record.seconds) + " s, over its bound of " +
                                std::to_string(bound_ms(plan) / 1000) + " s");
  if (record.processes_left > 0)
    broken(BreakKind::leak, std::to_string(record.processes_left) + " process(es) of the run left running");
  if (record.heap_warnings > 0)
    broken(BreakKind::leak, std::to_string(record.heap_warnings) + " heap warning(s) from Wine's heap checker");
  if (!record.ended) return verdict;
  for (const std::string& problem : report.problems) broken(BreakKind::lie, problem);

  const std::optional<double> reading_ended = reading_ended_by(record, report.details);
  const Expectation e = expect(plan, record, reading_ended);
  const Parse parse = parse_capture(e, record.capture);
  if (ended_as_asked) {
    report.outcome = parse.full ? Outcome::completed : Outcome::stopped;
    report.completion_claimed = parse.full;
  }
  if (!parse.matches) {
    broken(BreakKind::lie, "the device got bytes that are no part of the update stream (" +
                               std::to_string(record.capture.size()) + " bytes captured)");
    return verdict;
  }
  if ((plan.signing == Signing::wrong_key || plan.signing == Signing::stale_list) && !record.capture.empty())
    broken(BreakKind::lie, "a folder its signature does not cover put bytes at the device");

  // Each file said sent is whole at its place; each whole one was said sent;
  // nothing follows a failure.
  // A program ended from outside never got to say what it sent.
  const bool cut_off = record.ended_by_session || report.outcome == Outcome::interrupted;
  const auto piece_of = [&](std::size_t slot) -> const Piece* {
    for (const Piece& p : parse.pieces)
      if (p.slot == slot) return &p;
    return nullptr;
  };
  std::optional<std::size_t> failed_slot;
  for (const auto& [slot, said] : report.results) {
    const Piece* piece = piece_of(slot);
    if (said == Said::sent && !(piece && piece->whole))
      broken(BreakKind::lie, std::string("said ") + kSlotNames[slot] + " was sent, but the device did not get it whole");
    if (said == Said::not_sent && piece)
      broken(BreakKind::lie, std::string("said ") + kSlotNames[slot] + " was not sent, but the device got bytes of it");
    if (said == Said::failed && !failed_slot) failed_slot = slot;
  }
  if (failed_slot)
    for (const Piece& p : parse.pieces)
      if (p.slot > *failed_slot)
        broken(BreakKind::lie, std::string(kSlotNames[p.slot]) + " went out after " + kSlotNames[*failed_slot] +
                                   " was said to have failed");
  if (console && !cut_off && report.outcome != Outcome::unknown)
    for (const Piece& p : parse.pieces) {
      const bool said_sent = std::any_of(report.results.begin(), report.results.end(), [&](const auto& r) {
        return r.first == p.slot && r.second == Said::sent;
      });
      if (p.whole && !said_sent)
        broken(BreakKind::lie, std::string("the device got ") + kSlotNames[p.slot] + " whole, but it was not said sent");
    }

  // Completion is reported exactly when the device got the whole stream.
  if (report.completion_claimed && !parse.full)
    broken(BreakKind::lie, "reported completion, but the device got " + std::to_string(record.capture.size()) +
                               " bytes, not the whole stream");
  // A file changed after the folder was read is refused with nothing of it sent:
  // where the change cleared its send flag, that looks at the device like the
  // file skipped, so the whole stream arrives. Likewise a database added after
  // the reading: it is missing for that command. No other change needs this.
  const bool changed_and_refused =
      report.outcome == Outcome::file_refused &&
      std::any_of(record.fired.begin(), record.fired.end(), [&](const FiredFault& f) {
        const Fault& fault = plan.faults[f.index];
        // After the reading the change ends the update at that file: never a whole stream.
        if (struck_after_reading(f, reading_ended)) return false;
        if (fault.kind == FaultKind::file_added) return fault.slot + 1 == kSlots;
        if (fault.kind != FaultKind::file_changed) return false;
        const PlannedFile* file = plan.file_in(fault.slot);
        if (!file) return false;
        const Bytes changed = changed_file_bytes(*file, fault.count);
        return check_update_header(changed.data(), changed.size()) == HeaderVerdict::skip;
      });
  if (!report.completion_claimed && parse.full && !record.ended_by_session &&
      report.outcome != Outcome::interrupted && !changed_and_refused)
    broken(BreakKind::lie, "the device got the whole stream, but the run did not report completion");
  if (record.ended_by_session) {
    // Allowed only once nothing more would go out: every file whole, none left to send.
    if (parse.partial() || (!parse.full && !record.capture.empty() && !e.database_missing && !e.refused_slot))
      broken(BreakKind::lie, "allowed the session to end while the update was cut short");
    return verdict;
  }

  // What it said happened is what its folder and its faults allow, and what the device got.
  const std::set<Outcome> allowed = allowed_outcomes(plan, record, e);
  if (report.ended_without_box && !asked_to_close)
    broken(BreakKind::lie, "the dialog ended unasked, with no box that ends it");
  if (report.outcome == Outcome::unknown) {
    broken(BreakKind::lie, console ? "the run ended without saying how"
                                   : "the dialog ended during its command, with no box that ends it");
  } else {
    if (!allowed.count(report.outcome))
      broken(BreakKind::lie, "reported " + std::string(outcome_name(report.outcome)) +
                                 "; its folder and faults allow only: " + list(allowed));
    if (std::optional<std::string> why = capture_contradicts(report.outcome, parse, record.capture))
      broken(BreakKind::lie, *why);
    if (parse.partial() && !allowed.count(Outcome::transfer_failed))
      broken(BreakKind::lie, "a file was cut at the device, and no fault of the device explains it");
  }

  // The exit status is the table's for that outcome, and the program's last words agree.
  if (console) {
    const std::optional<std::uint32_t> expected = status_of(report.outcome);
    if (!record.exit_status) {
      broken(BreakKind::lie, "no exit status");
    } else if (expected && *record.exit_status != *expected) {
      broken(BreakKind::lie, "exit status " + std::to_string(*record.exit_status) + " for " +
                                 outcome_name(report.outcome) + ", not " + std::to_string(*expected));
    }
    if (report.outcome != Outcome::interrupted) {
      if (report.end_exit != record.exit_status)
        broken(BreakKind::lie, "the end event's exit disagrees with the exit status");
      const std::string last = report.details.empty() ? std::string() : event_of(report.details.back());
      if (!record.exit_status || last != "the program ends, exit status " + std::to_string(*record.exit_status))
        broken(BreakKind::lie, "the details' last line \"" + last + "\" disagrees with the exit status");
    }
  } else if (record.exit_status && *record.exit_status != 0) {
    // The dialog ends with status 0 whichever way it ends; anything else is a crash or a kill.
    broken(BreakKind::lie, "the dialog ended with exit status " + std::to_string(*record.exit_status));
  } else if (record.closed_by_runner && report.command_began) {
    // Nothing of a file is told after the command's end.
    std::size_t last_end = 0, last_transfer = 0;
    for (std::size_t i = 0; i < report.details.size(); ++i) {
      const std::string event = event_of(report.details[i]);
      if (event.compare(0, kEndedPrefix.size(), kEndedPrefix) == 0) last_end = i + 1;
      if (event.compare(0, 10, "result of ") == 0 || event.compare(0, 12, "transfer of ") == 0) last_transfer = i + 1;
    }
    if (last_end == 0 || last_transfer > last_end)
      broken(BreakKind::lie, "the details do not end the command after its last transfer");
  }
  return verdict;
}

// ---- Records as text ------------------------------------------------------------------

std::string escape_lines(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n' || text[i] == '\r') out += "\\n";
    else if (text[i] == '\\') out += "\\\\";
    else out.push_back(text[i]);
  }
  return out;
}

std::string unescape_lines(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out.push_back(text[i + 1] == 'n' ? '\n' : text[i + 1]);
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string write_record(const Record& r) {
  std::ostringstream out;
  out << "ended " << r.ended << "\nseconds " << r.seconds << "\n";
  if (r.exit_status) out << "exit " << *r.exit_status << "\n";
  out << "closed_by_runner " << r.closed_by_runner << "\nended_by_session " << r.ended_by_session
      << "\nprocesses_left " << r.processes_left << "\nheap_warnings " << r.heap_warnings << "\n";
  for (const FiredFault& f : r.fired) out << "fired " << f.index << " " << f.at_ms << " " << f.device_bytes << "\n";
  if (r.first_byte_ms) out << "first_byte " << *r.first_byte_ms << "\n";
  out << "text finished " << escape_lines(r.texts.finished) << "\ntext database_missing "
      << escape_lines(r.texts.database_missing) << "\ntext device_lost " << escape_lines(r.texts.device_lost) << "\n";
  for (const std::string& line : r.output) out << "output " << escape_lines(line) << "\n";
  for (const std::string& line : r.details) out << "detail " << escape_lines(line) << "\n";
  return out.str();
}

bool read_record(const std::string& text, Record* r) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
    std::istringstream v(value);
    if (key == "ended") v >> r->ended;
    else if (key == "seconds") v >> r->seconds;
    else if (key == "exit") r->exit_status = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    else if (key == "closed_by_runner") v >> r->closed_by_runner;
    else if (key == "ended_by_session") v >> r->ended_by_session;
    else if (key == "processes_left") v >> r->processes_left;
    else if (key == "heap_warnings") v >> r->heap_warnings;
    else if (key == "first_byte") r->first_byte_ms = std::strtod(value.c_str(), nullptr);
    else if (key == "fired") {
      FiredFault f;
      v >> f.index >> f.at_ms >> f.device_bytes;
      r->fired.push_back(f);
    } else if (key == "text") {
      const std::size_t split = value.find(' ');
      const std::string name = value.substr(0, split);
      const std::string said = split == std::string::npos ? std::string() : unescape_lines(value.substr(split + 1));
      if (name == "finished") r->texts.finished = said;
      if (name == "database_missing") r->texts.database_missing = said;
      if (name == "device_lost") r->texts.device_lost = said;
    } else if (key == "output") r->output.push_back(unescape_lines(value));
    else if (key == "detail") r->details.push_back(unescape_lines(value));
    else if (!key.empty()) return false;
  }
  return true;
}

}  // namespace pw::campaign
