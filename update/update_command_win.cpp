#include "update/update_command.h"

#include <cstdio>
#include <new>
#include <string>

#include "device/pipe_library.h"
#include "device/presence_rule.h"
#include "lang/lang_text.h"
#include "lang/utf.h"
#include "update/folder_sums.h"
#include "update/folder_verdict.h"
#include "update/update_folder.h"
#include "update/hex.h"
#include "update/transfer_worker_win.h"
#include "update/update_file.h"
#include "win/handles.h"
#include "win/wide_text.h"

namespace pw {

namespace {

// Where each file's opened flag lives, in the planner's order.
constexpr bool SessionState::*kOpenedFlags[kUpdateFiles.size()] = {
    &SessionState::firmware_opened, &SessionState::image_opened, &SessionState::imageru_opened,
    &SessionState::sound_opened, &SessionState::database_opened,
};

std::string naming(TextKey text, const std::string& path) { return LangText(text) + "\n\n" + path; }

// What was decided about a file, in the record's words.
const char* decision_name(const FileDecision& decision, const FolderFile& file) {
  const FileProbe& probe = file.probe;
  switch (decision.step) {
    case FileStep::skipped: return probe.open == FileProbe::Open::opened ? "skipped" : "skipped (missing)";
    case FileStep::not_sent: return "not sent (send flag 0)";
    case FileStep::sent: return "to be sent";
    case FileStep::process_ends: return "refused, the program ends";
    case FileStep::command_ends: break;
  }
  if (probe.header == HeaderVerdict::too_short) return "refused (too short)";
  if (probe.header == HeaderVerdict::bad_marker) return "refused (wrong marker)";
  if (file.read == ReadEnd::stalled) return "refused (a read made no progress for 15 s)";
  if (probe.open == FileProbe::Open::opened && !probe.header) return "refused (cannot be read)";
  return probe.open == FileProbe::Open::opened ? "refused" : "refused (cannot be opened)";
}

// The text that says why a file was not sent before its first byte.
TextKey refusal_text(SendRefusal refusal) {
  switch (refusal) {
    case SendRefusal::locked: return text::kFileLocked;
    case SendRefusal::read_failed: return text::kFileReadFailed;
    case SendRefusal::too_large: return text::kFileTooLarge;
    case SendRefusal::changed: return text::kFileChanged;
    case SendRefusal::pipe_refused: return text::kDeviceNotLinked;
    default: break;
  }
  return text::kTransferFailed;
}

}  // namespace

UpdateCommand::UpdateCommand(SessionState& session, Frontend& frontend, PresenceSchedule& schedule,
                             TransferHost& transfers, FolderReads& folder_reads) noexcept
    : session_(session), frontend_(frontend), schedule_(schedule), transfers_(transfers), folder_reads_(folder_reads) {}

UpdateCommand::~UpdateCommand() { stop_transfer(kWorkerStopWaitMs); }

std::string& UpdateCommand::path_of(std::size_t index) noexcept {
  std::string* const paths[kUpdateFiles.size()] = {&firmware_path, &image_path, &imageru_path, &sound_path,
                                                   &database_path};
  return *paths[index];
}

Outcome UpdateCommand::start(const std::string& folder, bool low_battery) noexcept {
  if (session_.command_running) return Outcome::go_on;
  session_.command_running = true;
  out_of_memory_ = false;
  sent_.clear();
  folder_.reset();
  result_ = CommandResult::completed;
  frontend_.command_begins();
  try {
    if (out_of_memory_) return end(Outcome::command_ended);
    if (!session_.linked) return end(refuse(CommandResult::not_linked, text::kDeviceNotLinked));
    // A laptop that hibernates at its critical charge cuts the device's power mid-flash.
    if (low_battery) return end(refuse(CommandResult::low_battery, text::kLowBattery));
    frontend_.update_folder(folder);
    // Every path is built before any is used; one that would not fit in 260 units is refused, never cut.
    for (const std::size_t index : {0, 3, 1, 2, 4}) {  // firmware, sound, image, imageru, database
      std::string path = folder + "\\" + kUpdateFiles[index].name;
      if (folder.empty() || utf16_length(path) >= MAX_PATH)
        return end(refuse(CommandResult::file_refused, text::kFolderTooLong));
      path_of(index) = std::move(path);
    }
    session_.reading_folder = true;
    folder_reads_.read_folder(folder);
    return Outcome::go_on;  // on_folder_read goes on
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;  // the front end hears so as the command ends
    return end(Outcome::command_ended);
  }
}

Outcome UpdateCommand::on_folder_read(std::unique_ptr<UpdateFolder> folder) noexcept {
  if (!session_.reading_folder) return Outcome::go_on;
  session_.reading_folder = false;
  try {
    if (!folder || out_of_memory_) {
      out_of_memory_ = true;
      return end(Outcome::command_ended);
    }
    folder_ = std::move(folder);
    return identify_and_send();
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
    return end(Outcome::command_ended);
  }
}

void UpdateCommand::abandon_folder_read() noexcept {
  if (!session_.reading_folder) return;
  session_.reading_folder = false;
  session_.command_running = false;
}

Outcome UpdateCommand::identify_and_send() {
  const FolderVerdict& verdict = folder_->verdict;
  {
    std::vector<std::string> lines;
    lines.push_back(std::string("verdict: ") + folder_reason_name(verdict.reason));
    switch (verdict.signature) {
      case SignatureCheck::absent: lines.push_back("signature: none"); break;
      case SignatureCheck::not_checked: lines.push_back("signature: not checked"); break;
      case SignatureCheck::verified: lines.push_back("signature: verified, key " + verdict.signer); break;
      case SignatureCheck::failed: lines.push_back("signature: refused"); break;
    }
    for (std::size_t i = 0; i < kUpdateFiles.size(); ++i)
      if (verdict.listed[i]) lines.push_back(std::string("listed ") + kUpdateFiles[i].name + ": " + to_hex(*verdict.listed[i]));
    if (verdict.installer_listed)
      lines.push_back(std::string("listed ") + kInstallerName + ": " + to_hex(*verdict.installer_listed));
    for (const std::string& name : verdict.ignored) lines.push_back("ignored line: " + printable_text(name));
    frontend_.folder_checked(lines);
  }
  if (!verdict.accepted()) return end(refuse_folder());

  frontend_.writing_begins();
  const Outcome identified = identification_.run(frontend_, result_);
  if (identified != Outcome::go_on) return end(identified);
  frontend_.files_begin();
  session_.update_started = true;
  return run_files(0);
}

// Says which rule refused the folder, and which file, before a byte reaches the device.
Outcome UpdateCommand::refuse_folder() {
  const FolderVerdict& verdict = folder_->verdict;
  // A file that could not be read is refused as such, whatever the list says of it.
  result_ = verdict.reason == FolderReason::file_unreadable && verdict.file ? CommandResult::file_refused
                                                                            : CommandResult::folder_refused;
  const std::optional<TextKey> key = refusal_text(verdict);
  std::string text = key ? LangText(*key) : LangText(text::kFileReadFailed);
  if (verdict.reason == FolderReason::list_malformed) {
    text += "\n\n" + std::string(sums_problem_name(verdict.list_problem));
    if (verdict.list_line > 0) text += " (line " + std::to_string(verdict.list_line) + ")";
  } else if (verdict.file) {
    text += "\n\n" + path_of(*verdict.file);
  }
  frontend_.message(text, MessageStyle::warning);
  return Outcome::command_ended;
}

void UpdateCommand::on_sending() noexcept {
  if (!worker_) return;
  frontend_.file_loaded(file_, worker_->file_size(), worker_->sha256());
  frontend_.transfer_begins(file_, worker_->file_size());
}

void UpdateCommand::on_progress(int percent) noexcept {
  if (worker_) frontend_.file_progress(file_, percent);
}

Outcome UpdateCommand::on_transfer_ended() noexcept {
  if (!worker_) return Outcome::go_on;
  try {
    return finish_transfer();
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
    return end(Outcome::command_ended);
  }
}

bool UpdateCommand::opening_pipe() const noexcept {
  return worker_ && worker_->stage() == WorkerStage::opening;
}

Outcome UpdateCommand::give_up_pipe_open() noexcept {
  if (!opening_pipe()) return Outcome::go_on;
  worker_->request_stop();  // a late return closes the pipe unused
  static_cast<void>(worker_.release());
  driver_held_ = true;
  try {
    return end(refuse(CommandResult::driver_not_answering, text::kDriverDoesNotAnswer));
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
    result_ = CommandResult::driver_not_answering;
    return end(Outcome::command_ended);
  }
}

bool UpdateCommand::stop_transfer(DWORD wait_ms) noexcept {
  if (!worker_) return true;
  worker_->request_stop();
  session_.command_running = false;
  if (worker_->wait(wait_ms)) {
    worker_.reset();
    return true;
  }
  // Its memory may still be written by a thread that did not end: kept, never freed.
  static_cast<void>(worker_.release());
  return false;
}

Outcome UpdateCommand::finish_transfer() {
  // The end event is the worker's last act: its thread only has to return. One
  // that has not, against every expectation, is kept rather than freed under it.
  const bool returned = worker_->wait(kWorkerStopWaitMs);
  std::unique_ptr<TransferWorker> worker = std::move(worker_);
  struct KeepUnreturned {
    std::unique_ptr<TransferWorker>& worker;
    bool keep;
    ~KeepUnreturned() {
      if (keep) static_cast<void>(worker.release());
    }
  } keep_unreturned{worker, !returned};
  const std::size_t index = file_;
  const SendRefusal refusal = worker->refusal();
  if (refusal != SendRefusal::none) {
    // Nothing of the file went out.
    switch (refusal) {
      case SendRefusal::no_library:
        result_ = CommandResult::no_library;
        frontend_.message(library_failure_text(LangText(text::kLibraryNotLoaded), worker->foreign_library()),
                          MessageStyle::warning);
        return end(Outcome::command_ended);
      case SendRefusal::out_of_memory: {
        char text[64];
        std::snprintf(text, sizeof text, "%s:(%lu)", kOutOfMemoryText,
                      static_cast<unsigned long>(worker->refused_size()));
        result_ = CommandResult::transfer_failed;
        frontend_.message(text, MessageStyle::warning);
        return end(Outcome::command_ended);
      }
      case SendRefusal::stopped: result_ = CommandResult::transfer_failed; return end(Outcome::command_ended);
      case SendRefusal::pipe_refused: return end(refuse(CommandResult::transfer_failed, text::kDeviceNotLinked));
      default: return end(refuse(CommandResult::file_refused, refusal_text(refusal), path_of(index)));
    }
  }

  const TransferOutcome outcome = worker->outcome();
  const std::uint32_t bytes_sent = worker->bytes_sent();
  {
    const TransferJob& job = worker->job();
    const std::size_t known =
        job.repeats < TransferJob::kRepeatOffsetsKept ? job.repeats : TransferJob::kRepeatOffsetsKept;
    frontend_.transfer_ended(index, bytes_sent, worker->file_size() - static_cast<std::uint32_t>(kHeaderBlockSize),
                             static_cast<unsigned>(::GetTickCount64() - transfer_started_ms_), job.repeats,
                             job.repeat_offsets, known);
  }
  if (outcome != TransferOutcome::sent) {
    frontend_.file_result(index, FileOutcome::failed, bytes_sent);
    return end(refuse(CommandResult::transfer_failed, text::kTransferFailed, path_of(index)));
  }
  frontend_.file_result(index, FileOutcome::sent, bytes_sent);
  sent_ += std::string("\n") + kUpdateFiles[index].name;
  // A handler ran out of memory during the file: the front end hears so.
  if (out_of_memory_) return end(Outcome::command_ended);
  return run_files(index + 1);
}

Outcome UpdateCommand::run_files(std::size_t from) {
  for (std::size_t i = from; i <= kLastUpdateFile; ++i) {
    file_ = i;
    const Outcome step = handle_file(i);
    if (step != Outcome::go_on) return end(step);
    if (worker_) return Outcome::go_on;  // the command goes on at the transfer's end
    if (out_of_memory_) return end(Outcome::command_ended);
  }
  if (!session_.linked) {
    result_ = CommandResult::not_linked;
    return end(Outcome::command_ended);
  }
  // Says what the device received, and no more.
  const std::string finished = LangText(text::kUpdateFinished);
  return end(end_with_message(sent_.empty() ? finished : finished + "\n" + sent_, MessageStyle::question));
}

Outcome UpdateCommand::handle_file(std::size_t index) {
  const std::string& path = path_of(index);
  const FolderFile& file = folder_->files[index];
  session_.*kOpenedFlags[index] = file.probe.open == FileProbe::Open::opened;

  const FileDecision decision = plan_file(index, file.probe, session_.linked);
  frontend_.file_decided(index, kUpdateFiles[index].name,
                         file.probe.open == FileProbe::Open::opened ? static_cast<long long>(file.size) : -1,
                         file.send_flag(), decision_name(decision, file));
  // Never sent in this command, whatever appears later; the record is told if it does.
  if (!file.present()) folder_reads_.look_for_late_file(index, path);
  switch (decision.step) {
    case FileStep::skipped: return Outcome::go_on;
    case FileStep::process_ends:
      // The last file is missing, or needs the link the device has lost.
      result_ = session_.linked ? CommandResult::file_refused : CommandResult::not_linked;
      return end_with_message(LangText(*decision.message), MessageStyle::warning);
    case FileStep::command_ends:
      return decision.names_file ? refuse(CommandResult::file_refused, *decision.message, path)
                                 : refuse(CommandResult::file_refused, *decision.message);
    case FileStep::not_sent:
    case FileStep::sent: break;
  }

  frontend_.step_begins(index, kUpdateFiles[index].name);
  if (decision.step == FileStep::not_sent) {
    frontend_.file_result(index, FileOutcome::not_sent, 0);
    return Outcome::go_on;
  }
  return send_file(index);
}

// Hands the file to a transfer worker, which opens the pipe, loads it and sends
// it, and reports each stage.
Outcome UpdateCommand::send_file(std::size_t index) {
  if (hold_next_file_.load()) {
    result_ = CommandResult::transfer_failed;  // the console closes: nothing more starts
    return Outcome::command_ended;
  }
  schedule_.set_poll_period(kTransferPollMs);
  transfer_started_ms_ = ::GetTickCount64();
  const FolderFile& read = folder_->files[index];
  FileToSend file;
  file.path = path_of(index);
  file.size = read.size;
  file.sha256 = *read.sha256;  // a file planned to be sent was read whole
  worker_ = TransferWorker::start(std::move(file), transfers_);
  if (!worker_) return refuse(CommandResult::transfer_failed, text::kWorkerNotStarted);
  return Outcome::go_on;
}

Outcome UpdateCommand::refuse(CommandResult why, TextKey text) {
  result_ = why;
  frontend_.message(LangText(text), MessageStyle::warning);
  return Outcome::command_ended;
}

Outcome UpdateCommand::refuse(CommandResult why, TextKey text, const std::string& path) {
  result_ = why;
  frontend_.message(naming(text, path), MessageStyle::warning);
  return Outcome::command_ended;
}

// A message after which the process ends: nothing more goes to the device, and
// an unplug behind it is no lost update.
Outcome UpdateCommand::end_with_message(const std::string& text, MessageStyle style) {
  frontend_.files_handed_over();
  session_.ending_box_open = true;
  frontend_.message(text, style);
  session_.ending_box_open = false;
  return Outcome::end_process;
}

Outcome UpdateCommand::end(Outcome outcome) noexcept {
  if (outcome == Outcome::go_on || !session_.command_running) return outcome;
  session_.ending_box_open = false;
  session_.command_running = false;
  // Memory that ran out in a handler ends the command whatever it was doing.
  if (out_of_memory_ && result_ == CommandResult::completed) result_ = CommandResult::out_of_memory;
  frontend_.command_ended(outcome == Outcome::end_process ? CommandEnd::process_ends : CommandEnd::ended_early,
                          result_);
  return outcome;
}

}  // namespace pw
