#include "tools/campaign/campaign_plan.h"

#include <algorithm>
#include <iterator>
#include <sstream>

namespace pw::campaign {

std::uint64_t Draw::next() noexcept {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

const char* fault_name(FaultKind kind) noexcept {
  switch (kind) {
    case FaultKind::unplug: return "unplug";
    case FaultKind::stall: return "stall";
    case FaultKind::write_error: return "write_error";
    case FaultKind::slow_open: return "slow_open";
    case FaultKind::hung_probe: return "hung_probe";
    case FaultKind::refused_probe: return "refused_probe";
    case FaultKind::file_changed: return "file_changed";
    case FaultKind::file_added: return "file_added";
    case FaultKind::close_attempt: return "close_attempt";
    case FaultKind::wm_close: return "wm_close";
    case FaultKind::query_end_session: return "query_end_session";
    case FaultKind::wm_quit: return "wm_quit";
    case FaultKind::ctrl_c: return "ctrl_c";
    case FaultKind::low_battery: return "low_battery";
    case FaultKind::slow_line: return "slow_line";
  }
  return "?";
}

const char* stage_name(Stage stage) noexcept {
  switch (stage) {
    case Stage::reading: return "the folder's reading";
    case Stage::opening: return "a pipe open";
    case Stage::mid_file: return "the middle of a file";
    case Stage::between_files: return "the end of a file";
  }
  return "?";
}

const PlannedFile* Plan::file_in(std::size_t slot) const noexcept {
  for (const PlannedFile& file : files)
    if (file.slot == slot) return &file;
  return nullptr;
}

bool Plan::has_fault(FaultKind kind) const noexcept {
  return std::any_of(faults.begin(), faults.end(), [kind](const Fault& f) { return f.kind == kind; });
}

namespace {

constexpr std::uint32_t kOpenNeverReturnsMs = 60000;
// How long the device waits in a stage for the fault that lands there.
constexpr std::uint32_t kPairHoldMs = 1500;

// Most runs small and quick, so the median stays low; now and then a large file.
std::uint32_t draw_payload(Draw& d) {
  const std::uint64_t r = d.below(100);
  if (r < 4) return static_cast<std::uint32_t>(d.between(1, 3));  // too short for a header check
  if (r < 72) return static_cast<std::uint32_t>(d.between(4, 16384));
  if (r < 95) return static_cast<std::uint32_t>(d.between(16385, 262144));
  return static_cast<std::uint32_t>(d.between(262145, 3u << 20));
}

std::uint8_t draw_flag(Draw& d) {
  const std::uint64_t r = d.below(100);
  if (r < 78) return 1;
  if (r < 88) return 0;
  return r < 94 ? 0x80 : 0xFF;
}

// The weights of the faults, out of 100; the slow variants are drawn inside each.
struct Weight {
  FaultKind kind;
  unsigned weight;
};
constexpr Weight kWeights[] = {
    {FaultKind::unplug, 10},       {FaultKind::stall, 6},          {FaultKind::write_error, 9},
    {FaultKind::slow_open, 6},     {FaultKind::hung_probe, 5},     {FaultKind::refused_probe, 6},
    {FaultKind::file_changed, 8},  {FaultKind::file_added, 5},     {FaultKind::close_attempt, 8},
    {FaultKind::wm_close, 7},      {FaultKind::query_end_session, 7}, {FaultKind::wm_quit, 5},
    {FaultKind::ctrl_c, 5},        {FaultKind::low_battery, 6},    {FaultKind::slow_line, 7},
};

FaultKind draw_kind(Draw& d) {
  std::uint64_t r = d.below(100);
  for (const Weight& w : kWeights) {
    if (r < w.weight) return w.kind;
    r -= w.weight;
  }
  return FaultKind::slow_line;
}

// The kind's own details (its byte or moment, its length, its file), drawn as
// for a fault that strikes at random.
void draw_details(Draw& d, const Plan& plan, Fault& f, std::uint64_t stream, std::uint64_t window_ms) {
  std::vector<std::size_t> present, missing;
  for (std::size_t slot = 0; slot < kSlots; ++slot) (plan.file_in(slot) ? present : missing).push_back(slot);
  if (f.kind == FaultKind::file_added && missing.empty()) f.kind = FaultKind::file_changed;
  f.at = d.between(0, window_ms);
  switch (f.kind) {
    case FaultKind::unplug:
      f.at_byte = d.chance(60);
      if (f.at_byte) f.at = d.between(1, std::max<std::uint64_t>(1, stream));
      f.length = d.chance(50) ? static_cast<std::uint32_t>(d.between(300, 3000)) : 0;
      break;
    case FaultKind::stall:
      f.at_byte = true;
      f.at = d.between(1, std::max<std::uint64_t>(1, stream));
      f.length = d.chance(80) ? static_cast<std::uint32_t>(d.between(200, 3000)) : 0;
      break;
    case FaultKind::write_error:
      f.at_byte = true;
      f.at = d.between(1, std::max<std::uint64_t>(1, stream));
      break;
    case FaultKind::slow_open:
      f.at = 0;
      f.count = static_cast<std::uint32_t>(d.between(2, 6));  // the identification's open is the first
      f.length = d.chance(85) ? static_cast<std::uint32_t>(d.between(200, 3000)) : kOpenNeverReturnsMs;
      break;
    case FaultKind::hung_probe: f.length = static_cast<std::uint32_t>(d.between(1000, 8000)); break;
    case FaultKind::refused_probe: f.length = static_cast<std::uint32_t>(d.between(300, 4000)); break;
    case FaultKind::file_changed:
      f.slot = present[d.below(present.size())];
      f.count = static_cast<std::uint32_t>(d.below(3));
      break;
    case FaultKind::file_added: f.slot = missing[d.below(missing.size())]; break;
    case FaultKind::low_battery:
      if (d.chance(25)) f.at = 0;
      break;
    case FaultKind::slow_line:
      if (d.chance(50)) f.at = 0;
      f.length = static_cast<std::uint32_t>(d.between(100000, 1200000));
      break;
    default: break;
  }
}

Fault draw_fault(Draw& d, const Plan& plan, std::uint64_t stream, std::uint64_t window_ms) {
  Fault f;
  f.kind = draw_kind(d);
  if (f.kind == FaultKind::ctrl_c && plan.program == Program::dialog) f.kind = FaultKind::close_attempt;
  draw_details(d, plan, f, stream, window_ms);
  return f;
}

void draw_files(Draw& d, Plan& plan) {
  for (std::size_t slot = 0; slot < kSlots; ++slot) {
    if (!d.chance(slot + 1 == kSlots ? 80 : 50)) continue;
    PlannedFile file;
    file.slot = slot;
    file.payload = draw_payload(d);
    file.flag = draw_flag(d);
    file.seed = static_cast<std::uint32_t>(d.next()) | 1u;
    plan.files.push_back(file);
  }
  if (plan.files.empty()) {
    PlannedFile file;
    file.slot = d.below(kSlots);
    file.payload = draw_payload(d);
    file.seed = static_cast<std::uint32_t>(d.next()) | 1u;
    plan.files.push_back(file);
  }
}

void sort_faults(Plan& plan) {
  // Byte faults first (armed before the start), then the others in the order they strike.
  std::stable_sort(plan.faults.begin(), plan.faults.end(), [](const Fault& a, const Fault& b) {
    if (a.at_byte != b.at_byte) return a.at_byte;
    return a.wait == b.wait && a.at < b.at;
  });
}

bool counted_by_device(FaultKind kind) { return kind == FaultKind::stall || kind == FaultKind::write_error; }

bool pair_possible(FaultKind kind, Stage stage) {
  if (kind == FaultKind::slow_open) return stage == Stage::opening;  // it is the open
  if (counted_by_device(kind)) return stage != Stage::opening;       // no byte moves while a pipe opens
  return true;
}

// The faults that end or stop a command, struck together in pairs.
constexpr FaultKind kEnders[] = {FaultKind::wm_quit, FaultKind::close_attempt, FaultKind::wm_close,
                                 FaultKind::unplug,  FaultKind::slow_open,     FaultKind::hung_probe};

bool sent(const PlannedFile& file) { return file.flag != 0; }

// A pair seed's folder: no damage, small files, at least two of them sent (so
// the stage between two files comes), and an empty slot when a file is to appear.
void shape_pair_folder(Draw& d, Plan& plan, bool needs_empty_slot) {
  for (PlannedFile& file : plan.files) file.payload = std::clamp<std::uint32_t>(file.payload, 64, 65536);
  if (needs_empty_slot && plan.files.size() == kSlots) {
    const auto unsent = std::find_if(plan.files.begin(), plan.files.end(), [](const PlannedFile& f) { return !sent(f); });
    plan.files.erase(unsent != plan.files.end() ? unsent : plan.files.end() - 1);
  }
  for (PlannedFile& file : plan.files)
    if (std::count_if(plan.files.begin(), plan.files.end(), sent) < 2) file.flag = 1;
  for (std::size_t slot = 0; slot < kSlots && std::count_if(plan.files.begin(), plan.files.end(), sent) < 2; ++slot) {
    if (plan.file_in(slot) || (needs_empty_slot && plan.files.size() + 1 == kSlots)) continue;
    PlannedFile file;
    file.slot = slot;
    file.payload = static_cast<std::uint32_t>(d.between(64, 16384));
    file.seed = static_cast<std::uint32_t>(d.next()) | 1u;
    plan.files.push_back(file);
  }
  std::sort(plan.files.begin(), plan.files.end(),
            [](const PlannedFile& a, const PlannedFile& b) { return a.slot < b.slot; });
}

// Where a stage is, as the device counts: `at` for the faults that wait for it.
struct Landing {
  bool device_counts = false;  // a byte fault of the device's own
  Wait wait = Wait::clock;
  std::uint64_t at = 0;
};

Plan draw_pair_plan(std::uint64_t seed) {
  Plan plan;
  plan.seed = seed;
  plan.pair = static_cast<long>((seed - kPairSeeds - 1) % pairs().size());
  const Pair& pair = pairs()[static_cast<std::size_t>(plan.pair)];
  Draw d(seed);
  plan.program = d.chance(30) ? Program::dialog : Program::console;
  if (pair.kind == FaultKind::ctrl_c) plan.program = Program::console;
  // Wine's server generates no Ctrl+Break, the console's close: a close is the dialog's.
  if (pair.kind == FaultKind::close_attempt || (pair.with_other && pair.other == FaultKind::close_attempt))
    plan.program = Program::dialog;
  plan.signing = d.chance(20) ? Signing::right_key : Signing::none;
  draw_files(d, plan);
  shape_pair_folder(d, plan, pair.kind == FaultKind::file_added);

  // The sent files' spans in the stream, as the device counts them (the identification byte first).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  std::uint64_t counted = 1;
  for (const PlannedFile& file : plan.files)
    if (sent(file)) {
      spans.emplace_back(counted, counted + kCommandHeaderSize + file.payload);
      counted = spans.back().second;
    }
  const std::size_t target = d.below(pair.stage == Stage::between_files ? spans.size() - 1 : spans.size());
  std::uint64_t byte = 1;  // the identification byte
  if (pair.stage == Stage::mid_file) byte = d.between(spans[target].first + 1, spans[target].second - 1);
  if (pair.stage == Stage::between_files) byte = spans[target].second;
  const std::uint32_t open = static_cast<std::uint32_t>(2 + target);  // the identification's is the first
  const std::uint64_t stream = stream_size(plan);

  const bool stuck_open = pair.with_other && (pair.kind == FaultKind::slow_open || pair.other == FaultKind::slow_open);
  const auto add = [&](FaultKind kind) {
    Fault f;
    f.kind = kind;
    draw_details(d, plan, f, stream, 0);
    const bool device_counts = counted_by_device(kind) || (kind == FaultKind::unplug && !pair.with_other);
    f.at_byte = false;
    f.wait = Wait::clock;
    f.at = 0;
    if (kind == FaultKind::slow_open) {
      f.count = open;
      if (stuck_open) f.length = kOpenNeverReturnsMs;
    } else if (pair.stage == Stage::opening) {
      f.wait = Wait::open;
      f.at = open;
    } else if (device_counts) {
      f.at_byte = true;
      f.at = byte;
    } else if (pair.stage != Stage::reading) {
      f.wait = Wait::bytes;
      f.at = byte;
    }
    plan.faults.push_back(f);
  };
  add(pair.kind);
  if (pair.with_other) add(pair.other);
  // What lands in a stage the program passes in a moment needs the device to
  // wait there: a slow open, or the device holding at the byte.
  const bool waits_for_open = std::any_of(plan.faults.begin(), plan.faults.end(),
                                          [](const Fault& f) { return f.wait == Wait::open; });
  if (waits_for_open && !plan.has_fault(FaultKind::slow_open)) {
    Fault slow;
    slow.kind = FaultKind::slow_open;
    slow.count = open;
    slow.length = kPairHoldMs;
    plan.faults.push_back(slow);
  }
  const bool waits_for_byte = std::any_of(plan.faults.begin(), plan.faults.end(),
                                          [](const Fault& f) { return f.wait == Wait::bytes; });
  if (waits_for_byte) {
    Fault hold;
    hold.kind = FaultKind::stall;
    hold.at_byte = true;
    hold.at = byte;
    hold.length = kPairHoldMs;
    plan.faults.push_back(hold);
  }
  sort_faults(plan);
  return plan;
}

std::string size_text(std::uint64_t bytes) { return std::to_string(bytes) + " B"; }

}  // namespace

const std::vector<Pair>& pairs() {
  static const std::vector<Pair> all = [] {
    std::vector<Pair> list;
    for (std::size_t kind = 0; kind < kFaultKinds; ++kind)
      for (std::size_t stage = 0; stage < kStages; ++stage)
        if (pair_possible(static_cast<FaultKind>(kind), static_cast<Stage>(stage)))
          list.push_back({static_cast<FaultKind>(kind), static_cast<Stage>(stage), false, FaultKind::unplug});
    for (std::size_t a = 0; a < std::size(kEnders); ++a)
      for (std::size_t b = a + 1; b < std::size(kEnders); ++b) {
        // Beside a driver call that does not return, in the open it holds; else in the middle of a file.
        const bool open = kEnders[a] == FaultKind::slow_open || kEnders[b] == FaultKind::slow_open;
        list.push_back({kEnders[a], open ? Stage::opening : Stage::mid_file, true, kEnders[b]});
      }
    return list;
  }();
  return all;
}

std::string pair_name(const Pair& pair) {
  std::string name = fault_name(pair.kind);
  if (pair.with_other) name += std::string(" with ") + fault_name(pair.other);
  return name + " in " + stage_name(pair.stage);
}

Plan draw_plan(std::uint64_t seed) {
  if (seed > kPairSeeds) return draw_pair_plan(seed);
  Plan plan;
  plan.seed = seed;
  Draw d(seed);
  plan.program = d.chance(30) ? Program::dialog : Program::console;
  const std::uint64_t s = d.below(100);
  plan.signing = s < 70 ? Signing::none : s < 86 ? Signing::right_key : s < 93 ? Signing::wrong_key : Signing::stale_list;
  draw_files(d, plan);
  if (d.chance(10)) {
    PlannedFile& file = plan.files[d.below(plan.files.size())];
    const std::uint64_t k = d.below(3);
    file.damage = k == 0 ? Damage::too_short : k == 1 ? Damage::bad_marker : Damage::locked;
  }
  const std::uint64_t r = d.below(100);
  const unsigned faults = r < 35 ? 0 : r < 80 ? 1 : r < 95 ? 2 : 3;
  const std::uint64_t stream = stream_size(plan);
  // Long enough to reach past the identification and a quick line's transfer.
  const std::uint64_t window_ms = 700 + stream / 3000;
  for (unsigned i = 0; i < faults; ++i) {
    Fault f = draw_fault(d, plan, stream, window_ms);
    // devsim holds one byte fault of each kind, and one slow open.
    const bool taken = std::any_of(plan.faults.begin(), plan.faults.end(), [&](const Fault& g) {
      return g.kind == f.kind && (g.at_byte || f.kind == FaultKind::slow_open) && f.at_byte == g.at_byte;
    });
    if (!taken) plan.faults.push_back(f);
  }
  sort_faults(plan);
  return plan;
}

Bytes file_bytes(const PlannedFile& file) {
  tools::CamFields fields;
  fields.send_flag = file.flag;
  fields.filler = 0xA5;  // never reaches the device
  fields.command = tools::generated_payload(46, file.seed + 1000);
  Bytes bytes = tools::build_update_file(fields, tools::generated_payload(file.payload, file.seed));
  switch (file.damage) {
    case Damage::too_short: bytes.resize(kHeaderBlockSize + file.seed % 4); break;
    case Damage::bad_marker: bytes[0] = '#'; break;
    default: break;
  }
  return bytes;
}

Bytes changed_file_bytes(const PlannedFile& file, std::uint32_t change) {
  PlannedFile changed = file;
  changed.damage = Damage::none;
  if (change == 0) changed.seed = file.seed * 2654435761u + 7;  // same header, other payload
  if (change == 1) changed.flag = 0;
  Bytes bytes = file_bytes(changed);
  if (change == 2) bytes[0] = '#';
  return bytes;
}

PlannedFile added_file(const Plan& plan, const Fault& fault) {
  PlannedFile file;
  file.slot = fault.slot;
  file.seed = static_cast<std::uint32_t>(plan.seed * 31 + fault.slot) | 1u;
  file.payload = 4 + file.seed % 6000;
  return file;
}

std::uint64_t stream_size(const Plan& plan) {
  std::uint64_t size = 1;  // the identification byte
  for (const PlannedFile& file : plan.files) {
    // As the header check judges it, without building the file.
    if (file.damage != Damage::none || file.payload < kHeaderCheckSize - kHeaderBlockSize) break;
    if (file.flag != 0) size += kCommandHeaderSize + file.payload;
  }
  return size;
}

std::string describe(const Plan& plan) {
  std::ostringstream out;
  out << "seed " << plan.seed << ": " << (plan.program == Program::dialog ? "dialog" : "console");
  static const char* const kSigning[] = {"no list", "signed by the test maker", "signed by another key",
                                         "signed, then a file changed"};
  out << ", " << kSigning[static_cast<int>(plan.signing)] << "; files:";
  static const char* const kDamage[] = {"", ", too short", ", bad marker", ", locked"};
  for (const PlannedFile& f : plan.files)
    out << " " << f.name() << "(" << size_text(f.payload) << " payload, flag " << int(f.flag)
        << kDamage[static_cast<int>(f.damage)] << ")";
  out << "; faults:";
  if (plan.faults.empty()) out << " none";
  for (const Fault& f : plan.faults) {
    out << " " << fault_name(f.kind);
    if (f.at_byte) out << " at byte " << f.at;
    else if (f.wait == Wait::bytes) out << " once the device has " << f.at << " bytes";
    else if (f.wait == Wait::open) out << " once open " << f.at << " begins";
    else out << " at " << f.at << " ms";
    switch (f.kind) {
      case FaultKind::unplug: out << (f.length ? ", back after " + std::to_string(f.length) + " ms" : ", for good"); break;
      case FaultKind::stall: out << (f.length ? " for " + std::to_string(f.length) + " ms" : " for good"); break;
      case FaultKind::slow_open: out << ": open " << f.count << " takes " << f.length << " ms"; break;
      case FaultKind::hung_probe:
      case FaultKind::refused_probe: out << " for " << f.length << " ms"; break;
      case FaultKind::file_changed:
        out << ": " << kSlotNames[f.slot] << (f.count == 0 ? " new payload" : f.count == 1 ? " flag cleared" : " bad marker");
        break;
      case FaultKind::file_added: out << ": " << kSlotNames[f.slot]; break;
      case FaultKind::slow_line: out << ": " << f.length << " B/s"; break;
      default: break;
    }
    out << ";";
  }
  if (plan.pair >= 0) out << " pair drawn: " << pair_name(pairs()[static_cast<std::size_t>(plan.pair)]) << ";";
  return out.str();
}

}  // namespace pw::campaign
