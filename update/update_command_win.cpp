#include "update/update_command.h"

#include <cstdio>
#include <new>
#include <string>

#include "device/pipe_library.h"
#include "device/presence_rule.h"
#include "lang/lang_text.h"
#include "lang/utf.h"
#include "update/folder_sums.h"
#ifdef PUSHWELL_MUTANT_LATE_FILE_SENT
#include "update/folder_check.h"
#endif
#include "update/folder_verdict.h"
#include "update/update_folder.h"
#include "update/hex.h"
#include "update/transfer_worker_win.h"
#include "update/update_file.h"
#include "win/guard.h"
#include "win/handles.h"
#include "win/wide_text.h"

namespace pw {

namespace {

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
                             TransferHost& transfers, LateFileWatch& late_files) noexcept
    : session_(session), frontend_(frontend), schedule_(schedule), transfers_(transfers), late_files_(late_files) {}

UpdateCommand::~UpdateCommand() { end_worker(kWorkerStopWaitMs); }

std::string& UpdateCommand::path_of(std::size_t index) noexcept {
  std::string* const paths[kUpdateFiles.size()] = {&firmware_path, &image_path, &imageru_path, &sound_path,
                                                   &database_path};
  return *paths[index];
}

Event UpdateCommand::begin(const std::string& folder, bool low_battery) noexcept {
  sent_.clear();
  folder_.reset();
  next_ = 0;
  result_ = CommandResult::completed;
  saying_.reset();
  frontend_.command_begins();
  Event next = Event::folder_wanted;
  if (ran_out_of_memory([&] {
        if (!session_.linked) {
          next = refused(CommandResult::not_linked, text::kDeviceNotLinked);
          return;
        }
        // A laptop that hibernates at its critical charge cuts the device's power mid-flash.
        if (low_battery) {
          next = refused(CommandResult::low_battery, text::kLowBattery);
          return;
        }
        frontend_.update_folder(folder);
        // Every path is built before any is used; one that would not fit in 260 units is refused, never cut.
        for (const std::size_t index : {0, 3, 1, 2, 4}) {  // firmware, sound, image, imageru, database
          std::string path = folder + "\\" + kUpdateFiles[index].name;
          if (folder.empty() || utf16_length(path) >= MAX_PATH) {
            next = refused(CommandResult::file_refused, text::kFolderTooLong);
            return;
          }
          path_of(index) = std::move(path);
        }
      }))
    return silent_end(CommandResult::out_of_memory);
  return next;
}

Event UpdateCommand::take_folder(std::unique_ptr<UpdateFolder> folder) noexcept {
  if (!folder) return silent_end(CommandResult::out_of_memory);
  folder_ = std::move(folder);
  Event next = Event::folder_accepted;
  if (ran_out_of_memory([&] {
        const FolderVerdict& verdict = folder_->verdict;
        std::vector<std::string> lines;
        lines.push_back(std::string("verdict: ") + folder_reason_name(verdict.reason));
        switch (verdict.signature) {
          case SignatureCheck::absent: lines.push_back("signature: none"); break;
          case SignatureCheck::not_checked: lines.push_back("signature: not checked"); break;
          case SignatureCheck::verified: lines.push_back("signature: verified, key " + verdict.signer); break;
          case SignatureCheck::failed: lines.push_back("signature: refused"); break;
        }
        for (std::size_t i = 0; i < kUpdateFiles.size(); ++i)
          if (verdict.listed[i])
            lines.push_back(std::string("listed ") + kUpdateFiles[i].name + ": " + to_hex(*verdict.listed[i]));
        if (verdict.installer_listed)
          lines.push_back(std::string("listed ") + kInstallerName + ": " + to_hex(*verdict.installer_listed));
        for (const std::string& name : verdict.ignored) lines.push_back("ignored line: " + printable_text(name));
        frontend_.folder_checked(lines);
        if (!verdict.accepted()) next = refuse_folder();
      }))
    return silent_end(CommandResult::out_of_memory);
  return next;
}

// Says which rule refused the folder, and which file, before a byte reaches the device.
Event UpdateCommand::refuse_folder() {
  const FolderVerdict& verdict = folder_->verdict;
  // A file that could not be read is refused as such, whatever the list says of it.
  const CommandResult why = verdict.reason == FolderReason::file_unreadable && verdict.file
                                ? CommandResult::file_refused
                                : CommandResult::folder_refused;
  const std::optional<TextKey> key = refusal_text(verdict);
  std::string text = key ? LangText(*key) : LangText(text::kFileReadFailed);
  if (verdict.reason == FolderReason::list_malformed) {
    text += "\n\n" + std::string(sums_problem_name(verdict.list_problem));
    if (verdict.list_line > 0) text += " (line " + std::to_string(verdict.list_line) + ")";
  } else if (verdict.file) {
    text += "\n\n" + path_of(*verdict.file);
  }
  return refused(why, text);
}

Event UpdateCommand::identify() noexcept {
  frontend_.writing_begins();
  Identified identified = Identified::refused;
  if (ran_out_of_memory([&] {
        Saying said;
        identified = identification_.run(frontend_, result_, said);
        if (identified != Identified::yes) saying_.emplace(std::move(said));
      }))
    return silent_end(CommandResult::out_of_memory);
  switch (identified) {
    case Identified::yes: break;
    case Identified::refused: return Event::command_refused;
    case Identified::driver_held: return Event::driver_held;
    case Identified::wrong_device: return Event::wrong_device;
  }
  frontend_.files_begin();
  session_.update_started = true;
  return Event::identified;
}

void UpdateCommand::on_sending() noexcept {
  if (!worker_) return;
  frontend_.file_loaded(file_, worker_->file_size(), worker_->sha256());
  frontend_.transfer_begins(file_, worker_->file_size());
}

void UpdateCommand::on_progress(int percent) noexcept {
  if (worker_) frontend_.file_progress(file_, percent);
}

void UpdateCommand::abandon_worker() noexcept {
  if (worker_) {
    worker_->request_stop();  // a late return closes the pipe unused
    static_cast<void>(worker_.release());
  }
}

Event UpdateCommand::give_up_worker() noexcept {
  abandon_worker();
  // Nothing of the file under way reached the device: a status of its own.
  refused(CommandResult::driver_held, text::kDriverDoesNotAnswer);
  return Event::driver_held;
}

void UpdateCommand::stop_unsent() noexcept {
  if (worker_) worker_->stop_unsent();
}

bool UpdateCommand::end_worker(DWORD wait_ms) noexcept {
  if (!worker_) return true;
  worker_->request_stop();
  if (worker_->wait(wait_ms)) {
    worker_.reset();
    return true;
  }
  // Its memory may still be written by a thread that did not end: kept, never freed.
  static_cast<void>(worker_.release());
  return false;
}

Event UpdateCommand::finish_file() noexcept {
  if (!worker_) return Event::command_refused;
  Event next = Event::command_refused;
  if (ran_out_of_memory([&] { next = file_ended(); })) return silent_end(CommandResult::out_of_memory);
  return next;
}

Event UpdateCommand::file_ended() {
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
        return refused(CommandResult::no_library,
                       library_failure_text(LangText(text::kLibraryNotLoaded), worker->foreign_library()));
      case SendRefusal::out_of_memory: {
        char text[64];
        std::snprintf(text, sizeof text, "%s:(%lu)", kOutOfMemoryText,
                      static_cast<unsigned long>(worker->refused_size()));
        return refused(CommandResult::transfer_failed, std::string(text));
      }
      case SendRefusal::stopped: result_ = CommandResult::stopped; return Event::file_stopped;
      case SendRefusal::pipe_refused: return refused(CommandResult::transfer_failed, text::kDeviceNotLinked);
      default: return refused(CommandResult::file_refused, refusal_text(refusal), path_of(index));
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
    return refused(CommandResult::transfer_failed, text::kTransferFailed, path_of(index));
  }
  frontend_.file_result(index, FileOutcome::sent, bytes_sent);
  sent_ += std::string("\n") + kUpdateFiles[index].name;
  return Event::file_sent;
}

Event UpdateCommand::next_file(bool held) noexcept {
  Event next = Event::files_done;
  if (ran_out_of_memory([&] {
        for (; next_ <= kLastUpdateFile; ) {
#ifdef PUSHWELL_MUTANT_COMPLETED_AFTER_FIRST  // a broken build the fault campaign must catch (tests only)
          if (!sent_.empty()) break;
#endif
          file_ = next_++;
          next = handle_file(file_, held);
          if (next != Event::file_sent) return;  // a worker started, or the command or the process ends
        }
        if (!session_.linked) {
          next = silent_end(CommandResult::not_linked);
          return;
        }
        // Says what the device received, and no more.
        const std::string finished = LangText(text::kUpdateFinished);
        next = ends_the_process(sent_.empty() ? finished : finished + "\n" + sent_, MessageStyle::question);
      }))
    return silent_end(CommandResult::out_of_memory);
  return next;
}

// file_sent here: the file needs no transfer, and the next one follows.
Event UpdateCommand::handle_file(std::size_t index, bool held) {
  const std::string& path = path_of(index);
#ifdef PUSHWELL_MUTANT_LATE_FILE_SENT  // a broken build the fault campaign must catch (tests only)
  if (!folder_->files[index].present()) {
    const std::atomic<bool> never_stopped{false};
    folder_->files[index] = read_update_folder(folder_->path, TrustedKeys{}, never_stopped, {}).files[index];
  }
#endif
  const FolderFile& file = folder_->files[index];

  const FileDecision decision = plan_file(index, file.probe, session_.linked);
  frontend_.file_decided(index, kUpdateFiles[index].name,
                         file.probe.open == FileProbe::Open::opened ? static_cast<long long>(file.size) : -1,
                         file.send_flag(), decision_name(decision, file));
  // Never sent in this command, whatever appears later; the record is told if it does.
  if (!file.present()) late_files_.look_for_late_file(index, path);
  switch (decision.step) {
    case FileStep::skipped: return Event::file_sent;
    case FileStep::process_ends: {
      // The last file is missing, or needs the link the device has lost.
      result_ = session_.linked ? CommandResult::file_refused : CommandResult::not_linked;
      const Event next = ends_the_process(LangText(*decision.message), MessageStyle::warning);
      return next == Event::files_done ? Event::database_missing : next;
    }
    case FileStep::command_ends:
      return decision.names_file ? refused(CommandResult::file_refused, *decision.message, path)
                                 : refused(CommandResult::file_refused, *decision.message);
    case FileStep::not_sent:
    case FileStep::sent: break;
  }

  // Asked to stop: nothing more goes to the device, and no step begins.
  if (held && decision.step == FileStep::sent) {
    result_ = CommandResult::stopped;
    return Event::file_stopped;
  }
  const std::string step = LangText(kUpdateFiles[index].step_text);
  frontend_.step_begins(index, kUpdateFiles[index].name, step);
  if (decision.step == FileStep::not_sent) {
    frontend_.file_result(index, FileOutcome::not_sent, 0);
    return Event::file_sent;
  }
  return send_file(index);
}

// Hands the file to a transfer worker, which opens the pipe, loads it and sends
// it, and reports each stage.
Event UpdateCommand::send_file(std::size_t index) {
  schedule_.set_poll_period(kTransferPollMs);
  transfer_started_ms_ = ::GetTickCount64();
  const FolderFile& read = folder_->files[index];
  FileToSend file;
  file.path = path_of(index);
  file.size = read.size;
  file.sha256 = *read.sha256;  // a file planned to be sent was read whole
  worker_ = TransferWorker::start(std::move(file), transfers_);
  // A thread that cannot be made is a transfer that could not take place.
  if (!worker_) return refused(CommandResult::transfer_failed, text::kWorkerNotStarted);
  return Event::worker_started;
}

Event UpdateCommand::refused(CommandResult why, TextKey text) noexcept {
  std::string said;
  if (ran_out_of_memory([&] { said = LangText(text); })) return silent_end(CommandResult::out_of_memory);
  return refused(why, said);
}

Event UpdateCommand::refused(CommandResult why, TextKey text, const std::string& path) noexcept {
  std::string said;
  if (ran_out_of_memory([&] { said = naming(text, path); })) return silent_end(CommandResult::out_of_memory);
  return refused(why, said);
}

Event UpdateCommand::refused(CommandResult why, const std::string& text) noexcept {
  if (ran_out_of_memory([&] { saying_.emplace(Saying{text, MessageStyle::warning}); }))
    return silent_end(CommandResult::out_of_memory);
  result_ = why;
  return Event::command_refused;
}

// The command ends without a box: memory that ran out (the front end says so
// as it hears the end), or the link lost at the end step.
Event UpdateCommand::silent_end(CommandResult why) noexcept {
  result_ = why;
  saying_.reset();
  return Event::command_refused;
}

// A box after which the process ends, shown by the host as the table says: nothing
// more goes to the device, and an unplug behind it is no lost update.
Event UpdateCommand::ends_the_process(const std::string& text, MessageStyle style) noexcept {
  if (ran_out_of_memory([&] { ending_text_ = text; })) return silent_end(CommandResult::out_of_memory);
  ending_style_ = style;
  return Event::files_done;
}

void UpdateCommand::ended(EndReason reason, bool process_ends) noexcept {
  switch (reason) {
    case EndReason::none:
    case EndReason::as_reported: break;
    case EndReason::stopped: result_ = CommandResult::stopped; break;
    case EndReason::out_of_memory: result_ = CommandResult::out_of_memory; break;
    case EndReason::not_linked: result_ = CommandResult::not_linked; break;
    case EndReason::driver_stuck: result_ = CommandResult::driver_stuck; break;
  }
  frontend_.command_ended(process_ends ? CommandEnd::process_ends : CommandEnd::ended_early, result_);
}

}  // namespace pw
