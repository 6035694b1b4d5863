#pragma once
// The campaign's oracle: what one run left behind (the device's capture, the
// program's own words, how and when it ended) judged against its plan by the
// same rules for every run. Pure: a recorded run is judged the same anywhere.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/campaign/campaign_outcomes.h"
#include "tools/campaign/campaign_plan.h"

namespace pw::campaign {

// A fault of the plan the runner carried out, with the moment and the bytes the
// device had counted then. Faults the device counts itself (at a byte) are
// judged from the capture and need no entry.
struct FiredFault {
  std::size_t index = 0;  // into Plan::faults
  std::uint64_t at_ms = 0;
  std::uint64_t device_bytes = 0;  // counted before it struck
};

// The texts of the program's language file the oracle compares with.
struct Texts {
  std::string finished;          // [message] 1010
  std::string database_missing;  // [message] 1035
  std::string device_lost;       // [message] 1021
};

struct Record {
  bool ended = false;  // the program ended (the dialog: or closed once its command had ended)
  double seconds = 0;  // from the start (the console) or the click (the dialog) to that end
  std::optional<std::uint32_t> exit_status;
  // The console program's standard output lines; the dialog's boxes, in the order shown.
  std::vector<std::string> output;
  // The dialog's run details as copied last (the console's come in its output).
  std::vector<std::string> details;
  Bytes capture;
  std::vector<FiredFault> fired;
  // When the runner first saw the device hold a byte (the identification's), on
  // the clock of `fired`: the program's own clock is placed against the
  // runner's by it.
  std::optional<double> first_byte_ms;
  bool closed_by_runner = false;   // the dialog, closed with Cancel once its command had ended
  bool ended_by_session = false;   // ended as Windows ends a program that allowed the session's end
  int processes_left = 0;
  int heap_warnings = 0;
  Texts texts;
};

enum class BreakKind { hang, lie, leak };
struct Break {
  BreakKind kind;
  std::string rule;
};
struct Verdict {
  Outcome reported = Outcome::unknown;
  std::vector<Break> breaks;
  bool holds() const noexcept { return breaks.empty(); }
};

// The longest a run of this plan may take before it counts as hung.
std::uint64_t bound_ms(const Plan& plan);

Verdict judge(const Plan& plan, const Record& record);

// The pair its plan drew on purpose struck in this run: every fault of it fired.
bool pair_landed(const Plan& plan, const Record& record);

const char* outcome_name(Outcome outcome) noexcept;

// A record as text (the capture apart) and back, for recorded runs.
std::string write_record(const Record& record);
bool read_record(const std::string& text, Record* record);

// Multi-line box texts kept on one line, "\n" for each line break, and back.
std::string escape_lines(const std::string& text);
std::string unescape_lines(const std::string& text);

}  // namespace pw::campaign
