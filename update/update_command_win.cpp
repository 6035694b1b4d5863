#include "update/update_command.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <string>

#include "device/pipe_library.h"
#include "lang/lang_text.h"
#include "update/sha256.h"
#include "update/transfer_worker_win.h"
#include "update/update_file.h"
#include "update/update_plan.h"
#include "win/handles.h"
#include "win/message_box.h"
#include "win/message_loop.h"
#include "win/module_path.h"
#include "win/overlapped_pipe.h"
#include "win/wide_text.h"

namespace pw {

// A file as its header was checked, before it is loaded for sending.
struct CheckedFile {
  FileProbe probe;
  std::uint8_t header[kHeaderCheckSize] = {};
  DWORD header_size = 0;
  long long size = -1;  // -1: not opened
};

namespace {

// Where each file's path and opened flag live in the session, in the planner's order.
struct FileFields {
  std::string SessionState::*path;
  bool SessionState::*opened;
};
constexpr FileFields kFileFields[kUpdateFiles.size()] = {
    {&SessionState::firmware_path, &SessionState::firmware_opened},
    {&SessionState::image_path, &SessionState::image_opened},
    {&SessionState::imageru_path, &SessionState::imageru_opened},
    {&SessionState::sound_path, &SessionState::sound_opened},
    {&SessionState::database_path, &SessionState::database_opened},
};
constexpr unsigned kTransferPollMs = 1000;
// How much of a file is read between two turns of serving the window's messages,
// so that the window answers while a large file loads, even from slow media.
constexpr DWORD kLoadSliceBytes = 1u << 20;

std::string naming(TextKey text, const std::string& path) { return LangText(text) + "\n\n" + path; }

// Builds every path in the current directory; false when one would not fit in 260 bytes.
bool build_paths(SessionState& session) {
  const std::string folder = current_directory();
  if (folder.empty()) return false;
  for (const std::size_t index : {0, 3, 1, 2, 4}) {  // firmware, sound, image, imageru, database
    std::string path = folder + "\\" + kUpdateFiles[index].name;
    if (utf16_length(path) >= MAX_PATH) return false;  // refused, never cut
    session.*(kFileFields[index].path) = std::move(path);
  }
  return true;
}

// Reads `size` bytes in slices, serving the thread's messages between them; the
// digest is taken of the bytes as they arrive, so the file is never read again for it.
bool read_serving_messages(HANDLE file, std::uint8_t* into, DWORD size, Sha256& digest) {
  DWORD done = 0;
  while (done < size) {
    const DWORD want = size - done < kLoadSliceBytes ? size - done : kLoadSliceBytes;
    DWORD read = 0;
    if (!::ReadFile(file, into + done, want, &read, nullptr) || read == 0) return false;
    digest.add(into + done, read);
    done += read;
    serve_pending_messages();
  }
  return true;
}

// Why a file could not be loaded; kept apart from the text so the caller says it.
struct LoadRefusal {
  std::optional<TextKey> text;  // empty: memory ran out, `size` says for how much
  DWORD size = 0;
};

// Loads the whole file; the job then owns its bytes. Empty with `refusal` set when not.
std::unique_ptr<TransferJob> load_file(const std::string& path, const CheckedFile& checked, LoadRefusal& refusal,
                                       std::string& sha256) {
  UniqueHandle file(
      ::CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return refusal.text = text::kFileLocked, nullptr;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return refusal.text = text::kFileReadFailed, nullptr;
  if (size.QuadPart > 0xFFFFFFFFLL)  // counted in 32 bits: refused rather than truncated
    return refusal.text = text::kFileTooLarge, nullptr;
  const DWORD file_size = static_cast<DWORD>(size.QuadPart);
  auto job = std::unique_ptr<TransferJob>(new (std::nothrow) TransferJob);
  if (job) job->file.reset(new (std::nothrow) std::uint8_t[file_size ? file_size : 1]);
  if (!job || !job->file) return refusal.size = file_size, nullptr;
  Sha256 digest;
  if (!read_serving_messages(file.get(), job->file.get(), file_size, digest))
    return refusal.text = text::kFileReadFailed, nullptr;
  sha256 = digest.hex();
  // The file may have been replaced, cut or edited since its header was checked.
  const HeaderVerdict verdict = check_update_header(job->file.get(), file_size);
  if (verdict != HeaderVerdict::send ||
      !same_header_block(checked.header, checked.header_size, job->file.get(), file_size))
    return refusal.text = text::kFileChanged, nullptr;
  job->file_size = file_size;
  return job;
}

// Opens the file with sharing denied and checks its header, keeping what it checked.
void probe_file(const std::string& path, CheckedFile& checked) {
  FileProbe& probe = checked.probe;
  UniqueHandle file(::CreateFileW(widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    probe.open = missing ? FileProbe::Open::missing : FileProbe::Open::not_openable;
    return;
  }
  probe.open = FileProbe::Open::opened;
  LARGE_INTEGER size{};
  if (::GetFileSizeEx(file.get(), &size)) checked.size = size.QuadPart;
  if (::ReadFile(file.get(), checked.header, sizeof checked.header, &checked.header_size, nullptr))
    probe.header = check_update_header(checked.header, checked.header_size);
}

// What was decided about a file, in the record's words.
const char* decision_name(const FileDecision& decision, const FileProbe& probe) {
  switch (decision.step) {
    case FileStep::skipped: return probe.open == FileProbe::Open::opened ? "skipped" : "skipped (missing)";
    case FileStep::not_sent: return "not sent (send flag 0)";
    case FileStep::sent: return "to be sent";
    case FileStep::process_ends: return "refused, the program ends";
    case FileStep::command_ends: break;
  }
  if (probe.header == HeaderVerdict::too_short) return "refused (too short)";
  if (probe.header == HeaderVerdict::bad_marker) return "refused (wrong marker)";
  return probe.open == FileProbe::Open::opened ? "refused" : "refused (cannot be opened)";
}

}  // namespace

UpdateCommand::UpdateCommand(SessionState& session, Frontend& frontend, PresenceSchedule& schedule,
                             TransferHost& transfers) noexcept
    : session_(session), frontend_(frontend), schedule_(schedule), transfers_(transfers) {}

UpdateCommand::~UpdateCommand() = default;

Outcome UpdateCommand::start() noexcept {
  if (session_.command_running) return Outcome::go_on;
  session_.command_running = true;
  session_.out_of_memory = false;
  sent_.clear();
  result_ = CommandResult::completed;
  frontend_.command_begins();
  try {
    if (session_.out_of_memory) return end(Outcome::command_ended);
    if (!session_.linked) return end(refuse(CommandResult::not_linked, text::kDeviceNotLinked));
    const Outcome identified = identification_.run(frontend_, result_);
    if (identified != Outcome::go_on) return end(identified);

    frontend_.update_folder(current_directory());
    if (!build_paths(session_)) return end(refuse(CommandResult::file_refused, text::kFolderTooLong));
    frontend_.files_begin();
    session_.update_started = true;
    return run_files(0);
  } catch (const std::bad_alloc&) {
    session_.out_of_memory = true;  // the front end says so as the command ends
    return end(Outcome::command_ended);
  }
}

Outcome UpdateCommand::on_transfer_ended() noexcept {
  if (!worker_) return Outcome::go_on;
  try {
    return finish_transfer();
  } catch (const std::bad_alloc&) {
    session_.out_of_memory = true;
    return end(Outcome::command_ended);
  }
}

void UpdateCommand::on_progress(int percent) noexcept {
  if (worker_) frontend_.file_progress(file_, percent);
}

Outcome UpdateCommand::finish_transfer() {
  // The end event is the worker's last act: its thread only has to return.
  ::WaitForSingleObject(worker_->thread(), INFINITE);
  const TransferOutcome outcome = worker_->outcome();
  const std::uint32_t bytes_sent = worker_->bytes_sent();
  {
    const TransferJob& job = worker_->job();
    const std::size_t known =
        job.repeats < TransferJob::kRepeatOffsetsKept ? job.repeats : TransferJob::kRepeatOffsetsKept;
    frontend_.transfer_ended(file_, bytes_sent, transfer_payload_,
                             static_cast<unsigned>(::GetTickCount64() - transfer_started_ms_), job.repeats,
                             job.repeat_offsets, known);
  }
  session_.running_worker = nullptr;
  worker_.reset();

  const std::size_t index = file_;
  if (outcome != TransferOutcome::sent) {
    frontend_.file_result(index, FileOutcome::failed, bytes_sent);
    return end(refuse(CommandResult::transfer_failed, text::kTransferFailed, session_.*(kFileFields[index].path)));
  }
  frontend_.file_result(index, FileOutcome::sent, bytes_sent);
  sent_ += std::string("\n") + kUpdateFiles[index].name;
  // A handler ran out of memory during the file: the front end says so.
  if (session_.out_of_memory) return end(Outcome::command_ended);
  return run_files(index + 1);
}

Outcome UpdateCommand::run_files(std::size_t from) {
  for (std::size_t i = from; i <= kLastUpdateFile; ++i) {
    file_ = i;
    const Outcome step = handle_file(i);
    if (step != Outcome::go_on) return end(step);
    if (worker_) return Outcome::go_on;  // the command goes on at the transfer's end
    if (session_.out_of_memory) return end(Outcome::command_ended);
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
  const std::string& path = session_.*(kFileFields[index].path);
  CheckedFile checked;
  probe_file(path, checked);
  session_.*(kFileFields[index].opened) = checked.probe.open == FileProbe::Open::opened;

  const FileDecision decision = plan_file(index, checked.probe, session_.linked);
  frontend_.file_decided(index, kUpdateFiles[index].name, checked.size,
                         checked.header_size >= 2 ? checked.header[1] : -1, decision_name(decision, checked.probe));
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
  return send_file(index, checked);
}

// Loads the whole file and hands it to a transfer worker, which reports its end.
Outcome UpdateCommand::send_file(std::size_t index, const CheckedFile& checked) {
  const std::string& path = session_.*(kFileFields[index].path);
  std::optional<HANDLE> opened_pipe = open_pipe_once(kOutPipeName);
  // The thread served no messages during the driver's call.
  discard_queued_input();
  if (!opened_pipe) {
    result_ = CommandResult::no_library;
    frontend_.message(library_failure_text(LangText(text::kLibraryNotLoaded)), MessageStyle::warning);
    return Outcome::command_ended;
  }
  UniqueHandle out_pipe(*opened_pipe);
  if (!out_pipe) return refuse(CommandResult::transfer_failed, text::kDeviceNotLinked);

  LoadRefusal refusal;
  std::string sha256;
  std::unique_ptr<TransferJob> job = load_file(path, checked, refusal, sha256);
  if (!job) {
    if (refusal.text) return refuse(CommandResult::file_refused, *refusal.text, path);
    char text[64];
    std::snprintf(text, sizeof text, "%s:(%lu)", kOutOfMemoryText, static_cast<unsigned long>(refusal.size));
    result_ = CommandResult::transfer_failed;
    frontend_.message(text, MessageStyle::warning);
    return Outcome::command_ended;
  }
  job->out_pipe.reset(new (std::nothrow) OverlappedPipe(std::move(out_pipe)));
  if (!job->out_pipe) return refuse(CommandResult::transfer_failed, text::kWorkerNotStarted);
  const std::uint32_t bytes = job->file_size;
  frontend_.file_loaded(index, bytes, sha256);
  transfer_payload_ = bytes - static_cast<std::uint32_t>(kHeaderBlockSize);
  transfer_started_ms_ = ::GetTickCount64();

  schedule_.set_poll_period(kTransferPollMs);
  worker_ = TransferWorker::start(std::move(job), transfers_);
  if (!worker_) return refuse(CommandResult::transfer_failed, text::kWorkerNotStarted);
  session_.running_worker = worker_.get();
  frontend_.transfer_begins(index, bytes);
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

// A message after which the process ends: an unplug behind it is no lost update.
Outcome UpdateCommand::end_with_message(const std::string& text, MessageStyle style) {
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
  if (session_.out_of_memory && result_ == CommandResult::completed) result_ = CommandResult::transfer_failed;
  frontend_.command_ended(outcome == Outcome::end_process ? CommandEnd::process_ends : CommandEnd::ended_early,
                          result_);
  return outcome;
}

}  // namespace pw
