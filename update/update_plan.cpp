#include "update/update_plan.h"

namespace pw {

FileDecision plan_file(std::size_t index, const FileProbe& probe, bool linked) {
  const bool last = index >= kLastUpdateFile;
  const UpdateFileEntry& entry = kUpdateFiles[last ? kLastUpdateFile : index];
  // One that exists but cannot be opened is not skipped: the update would claim
  // a file it left out.
  if (probe.open == FileProbe::Open::not_openable && !last)
    return {FileStep::command_ends, text::kFileLocked, true};
  if (probe.open != FileProbe::Open::opened || (entry.needs_link && !linked)) {
    if (!last) return {FileStep::skipped, std::nullopt, false};
    return {FileStep::process_ends, text::kDatabaseMissing, false};
  }
  if (!probe.header) return {FileStep::command_ends, text::kFileReadFailed, true};
  switch (*probe.header) {
    case HeaderVerdict::too_short: return {FileStep::command_ends, text::kFileTooShort, true};
    case HeaderVerdict::bad_marker: return {FileStep::command_ends, text::kFileBadMarker, true};
    case HeaderVerdict::skip: return {FileStep::not_sent, std::nullopt, false};
    case HeaderVerdict::send: break;
  }
  return {FileStep::sent, std::nullopt, false};
}

UpdatePlan plan_update(const std::array<FileProbe, kUpdateFiles.size()>& probes, bool linked) {
  UpdatePlan plan;
  for (std::size_t i = 0; i < probes.size(); ++i) {
    plan.decisions.push_back(plan_file(i, probes[i], linked));
    const FileStep step = plan.decisions.back().step;
    if (step == FileStep::command_ends || step == FileStep::process_ends) return plan;
  }
  plan.completes = linked;
  return plan;
}

}  // namespace pw
