#include "update/update_sequence.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <string>

#include "device/identification.h"
#include "device/pipe_library.h"
#include "lang/lang_text.h"
#include "resources/resource.h"
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
constexpr UINT kTransferPollMs = 1000;

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

// What one file leaves the command with: go on with the next, or an early end or
// the end of the process.
using Step = Outcome;

void reset_progress_and_texts(WindowPort& window) {
  window.reset_progress();
  window.set_text(IDC_STEP_TEXT, "");
  window.set_text(IDC_RESULT_TEXT, "");
}

Step refuse(WindowPort& window, TextKey text) {
  window.show_box(LangText(text), kBoxOk);
  return Outcome::command_ended;
}

Step refuse(WindowPort& window, TextKey text, const std::string& path) {
  window.show_box(naming(text, path), kBoxOk);
  return Outcome::command_ended;
}

// Loads the whole file; the job then owns its bytes. Empty after a box has said why not.
std::unique_ptr<TransferJob> load_file(WindowPort& window, const std::string& path) {
  UniqueHandle file(
      ::CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return refuse(window, text::kFileLocked, path), nullptr;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) return refuse(window, text::kFileReadFailed, path), nullptr;
  if (size.QuadPart > 0xFFFFFFFFLL)  // counted in 32 bits: refused rather than truncated
    return refuse(window, text::kFileTooLarge, path), nullptr;
  const DWORD file_size = static_cast<DWORD>(size.QuadPart);
  auto job = std::unique_ptr<TransferJob>(new (std::nothrow) TransferJob);
  if (job) job->file.reset(new (std::nothrow) std::uint8_t[file_size ? file_size : 1]);
  if (!job || !job->file) {
    char text[64];
    std::snprintf(text, sizeof text, "Memory Allocation Fail:(%lu)", static_cast<unsigned long>(file_size));
    window.show_box(text, kBoxOk);
    return nullptr;
  }
  DWORD read = 0;
  const BOOL read_ok = ::ReadFile(file.get(), job->file.get(), file_size, &read, nullptr);
  if (!read_ok || read != file_size) return refuse(window, text::kFileReadFailed, path), nullptr;
  // The file may have been replaced or cut since its header was checked.
  const HeaderVerdict verdict = check_update_header(job->file.get(), read);
  if (verdict == HeaderVerdict::too_short || verdict == HeaderVerdict::bad_marker)
    return refuse(window, text::kFileChanged, path), nullptr;
  job->file_size = read;
  return job;
}

// Loads the whole file and hands it to a transfer worker; returns once it has ended.
Step send_file(SessionState& session, WindowPort& window, const std::string& path) {
  std::optional<HANDLE> opened_pipe = open_pipe_once(kOutPipeName);
  if (!opened_pipe) {
    window.show_box(library_failure_text(LangText(text::kLibraryNotLoaded)), kBoxOk);
    return Outcome::command_ended;
  }
  UniqueHandle out_pipe(*opened_pipe);
  if (!out_pipe) return refuse(window, text::kDeviceNotLinked);

  std::unique_ptr<TransferJob> job = load_file(window, path);
  if (!job) return Outcome::command_ended;
  job->out_pipe.reset(new (std::nothrow) OverlappedPipe(std::move(out_pipe)));
  if (!job->out_pipe) return refuse(window, text::kWorkerNotStarted);

  window.set_poll_period(kTransferPollMs);
  window.set_text(IDC_RESULT_TEXT, LangText(text::kDoNotDisconnect));
  WindowTransferHost host(window);
  const std::unique_ptr<TransferWorker> worker = TransferWorker::start(std::move(job), host);
  if (!worker) return refuse(window, text::kWorkerNotStarted);

  session.running_worker = worker.get();
  serve_messages_until_signalled(worker->thread(), INFINITE);
  session.running_worker = nullptr;

  if (worker->outcome() != TransferOutcome::sent) {
    window.mark_transfer_failed();
    return refuse(window, text::kTransferFailed, path);
  }
  return Outcome::go_on;
}

// Opens the file with sharing denied and checks its header.
FileProbe probe_file(const std::string& path) {
  FileProbe probe;
  UniqueHandle file(::CreateFileW(widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    probe.open = missing ? FileProbe::Open::missing : FileProbe::Open::not_openable;
    return probe;
  }
  probe.open = FileProbe::Open::opened;
  std::uint8_t header[kHeaderCheckSize];
  DWORD header_read = 0;
  if (::ReadFile(file.get(), header, sizeof header, &header_read, nullptr))
    probe.header = check_update_header(header, header_read);
  return probe;
}

// `sent` hears of each file the device received whole.
Step handle_file(SessionState& session, WindowPort& window, std::size_t index, std::string& sent) {
  const std::string& path = session.*(kFileFields[index].path);
  const FileProbe probe = probe_file(path);
  session.*(kFileFields[index].opened) = probe.open == FileProbe::Open::opened;

  const FileDecision decision = plan_file(index, probe, session.linked);
  switch (decision.step) {
    case FileStep::skipped: return Outcome::go_on;
    case FileStep::process_ends:
      window.show_box(LangText(*decision.message), kBoxOk);
      return Outcome::end_process;
    case FileStep::command_ends:
      return decision.names_file ? refuse(window, *decision.message, path) : refuse(window, *decision.message);
    case FileStep::not_sent:
    case FileStep::sent: break;
  }

  if (index > 0) reset_progress_and_texts(window);
  window.set_text(IDC_STEP_TEXT, LangText(kUpdateFiles[index].step_text));
  if (decision.step == FileStep::not_sent) return Outcome::go_on;
  const Step step = send_file(session, window, path);
  if (step == Outcome::go_on) sent += std::string("\n") + kUpdateFiles[index].name;
  return step;
}

}  // namespace

Outcome run_update_command(SessionState& session, WindowPort& window) {
  if (!session.linked) return refuse(window, text::kDeviceNotLinked);
  const Outcome identified = identify_device(window);
  if (identified != Outcome::go_on) return identified;

  if (!build_paths(session)) return refuse(window, text::kFolderTooLong);
  reset_progress_and_texts(window);
  session.update_started = true;

  std::string sent;  // one line per file the device received
  for (std::size_t i = 0; i <= kLastUpdateFile; ++i) {
    const Step step = handle_file(session, window, i, sent);
    if (step != Outcome::go_on) return step;
  }

  if (!session.linked) return Outcome::command_ended;
  // Says what the device received, and no more.
  const std::string finished = LangText(text::kUpdateFinished);
  window.show_box(sent.empty() ? finished : finished + "\n" + sent, kBoxQuestion);
  return Outcome::end_process;
}

}  // namespace pw
