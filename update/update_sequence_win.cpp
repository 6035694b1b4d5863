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
// How much of a file is read between two turns of serving the window's messages,
// so that the window answers while a large file loads, even from slow media.
constexpr DWORD kLoadSliceBytes = 1u << 20;

// A file as its header was checked, before it is loaded for sending.
struct CheckedFile {
  FileProbe probe;
  std::uint8_t header[kHeaderCheckSize] = {};
  DWORD header_size = 0;
};

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

// A box after which the process ends: an unplug behind it is no lost update.
Step end_with_box(SessionState& session, WindowPort& window, const std::string& text, unsigned style) {
  session.ending_box_open = true;
  window.show_box(text, style);
  session.ending_box_open = false;
  return Outcome::end_process;
}

// Reads `size` bytes in slices, serving the window's messages between them.
bool read_serving_messages(HANDLE file, std::uint8_t* into, DWORD size) {
  DWORD done = 0;
  while (done < size) {
    const DWORD want = size - done < kLoadSliceBytes ? size - done : kLoadSliceBytes;
    DWORD read = 0;
    if (!::ReadFile(file, into + done, want, &read, nullptr) || read == 0) return false;
    done += read;
    serve_pending_messages();
  }
  return true;
}

// Loads the whole file; the job then owns its bytes. Empty after a box has said why not.
std::unique_ptr<TransferJob> load_file(WindowPort& window, const std::string& path, const CheckedFile& checked) {
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
    std::snprintf(text, sizeof text, "%s:(%lu)", kOutOfMemoryText, static_cast<unsigned long>(file_size));
    window.show_box(text, kBoxOk);
    return nullptr;
  }
  if (!read_serving_messages(file.get(), job->file.get(), file_size))
    return refuse(window, text::kFileReadFailed, path), nullptr;
  // The file may have been replaced, cut or edited since its header was checked.
  const HeaderVerdict verdict = check_update_header(job->file.get(), file_size);
  if (verdict != HeaderVerdict::send ||
      !same_header_block(checked.header, checked.header_size, job->file.get(), file_size))
    return refuse(window, text::kFileChanged, path), nullptr;
  job->file_size = file_size;
  return job;
}

// Loads the whole file and hands it to a transfer worker; returns once it has ended.
Step send_file(SessionState& session, WindowPort& window, const std::string& path, const CheckedFile& checked) {
  std::optional<HANDLE> opened_pipe = open_pipe_once(kOutPipeName);
  // The window served no messages during the driver's call.
  discard_queued_input();
  if (!opened_pipe) {
    window.show_box(library_failure_text(LangText(text::kLibraryNotLoaded)), kBoxOk);
    return Outcome::command_ended;
  }
  UniqueHandle out_pipe(*opened_pipe);
  if (!out_pipe) return refuse(window, text::kDeviceNotLinked);

  std::unique_ptr<TransferJob> job = load_file(window, path, checked);
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
  if (host.ran_out_of_memory()) session.out_of_memory = true;

  if (worker->outcome() != TransferOutcome::sent) {
    window.mark_transfer_failed();
    return refuse(window, text::kTransferFailed, path);
  }
  return Outcome::go_on;
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
  if (::ReadFile(file.get(), checked.header, sizeof checked.header, &checked.header_size, nullptr))
    probe.header = check_update_header(checked.header, checked.header_size);
}

// `sent` hears of each file the device received whole.
Step handle_file(SessionState& session, WindowPort& window, std::size_t index, std::string& sent) {
  const std::string& path = session.*(kFileFields[index].path);
  CheckedFile checked;
  probe_file(path, checked);
  session.*(kFileFields[index].opened) = checked.probe.open == FileProbe::Open::opened;

  const FileDecision decision = plan_file(index, checked.probe, session.linked);
  switch (decision.step) {
    case FileStep::skipped: return Outcome::go_on;
    case FileStep::process_ends: return end_with_box(session, window, LangText(*decision.message), kBoxOk);
    case FileStep::command_ends:
      return decision.names_file ? refuse(window, *decision.message, path) : refuse(window, *decision.message);
    case FileStep::not_sent:
    case FileStep::sent: break;
  }

  if (index > 0) reset_progress_and_texts(window);
  window.set_text(IDC_STEP_TEXT, LangText(kUpdateFiles[index].step_text));
  if (decision.step == FileStep::not_sent) return Outcome::go_on;
  const Step step = send_file(session, window, path, checked);
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
    // A handler ran out of memory during the file: the dialog says so.
    if (session.out_of_memory) return Outcome::command_ended;
  }

  if (!session.linked) return Outcome::command_ended;
  // Says what the device received, and no more.
  const std::string finished = LangText(text::kUpdateFinished);
  return end_with_box(session, window, sent.empty() ? finished : finished + "\n" + sent, kBoxQuestion);
}

}  // namespace pw
