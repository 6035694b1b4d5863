#include "update/update_sequence.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/main_dialog.h"
#include "device/identification.h"
#include "device/pipe_library.h"
#include "lang/builtin_texts.h"
#include "lang/lang_text.h"
#include "update/transfer_worker_win.h"
#include "update/update_file.h"
#include "win/handles.h"
#include "win/message_box.h"
#include "win/module_path.h"

namespace pw {

namespace {

struct UpdateFile {
  const char* name;  // joined to the current directory as it stands
  std::string CPushwellDlg::*path;
  bool CPushwellDlg::*opened;
  bool needs_link;
  int step_text;
};

// The order in which the files are handled.
constexpr UpdateFile kUpdateFiles[] = {
    {"\\firmware.cam", &CPushwellDlg::firmware_path, &CPushwellDlg::firmware_opened, false, 1027},
    {"\\image.cam", &CPushwellDlg::image_path, &CPushwellDlg::image_opened, false, 1033},
    {"\\imageru.cam", &CPushwellDlg::imageru_path, &CPushwellDlg::imageru_opened, true, 1034},
    {"\\sound.cam", &CPushwellDlg::sound_path, &CPushwellDlg::sound_opened, true, 1028},
    {"\\database.cam", &CPushwellDlg::database_path, &CPushwellDlg::database_opened, true, 1026},
};
constexpr std::size_t kLastFile = sizeof kUpdateFiles / sizeof kUpdateFiles[0] - 1;
constexpr UINT kTransferPollMs = 1000;

std::string naming(const std::string& text, const std::string& path) { return text + "\n\n" + path; }

// Builds every path in the current directory; false when one would not fit in 260 bytes.
bool build_paths(CPushwellDlg& dialog) {
  const std::string folder = current_directory();
  if (folder.empty()) return false;
  const UpdateFile* build_order[] = {&kUpdateFiles[0], &kUpdateFiles[3], &kUpdateFiles[1], &kUpdateFiles[2],
                                     &kUpdateFiles[4]};
  for (const UpdateFile* file : build_order) {
    std::string path = folder + file->name;
    if (path.size() >= MAX_PATH) return false;
    dialog.*(file->path) = std::move(path);
  }
  return true;
}

enum class Step { next_file, command_ends };

// Waits for the worker while serving the window's messages, without spinning: the
// wait wakes for a message or for the thread's end, whichever comes first.
void serve_messages_until_done(HANDLE worker) {
  TransferState& state = transfer_state();
  for (;;) {
    if (::WaitForSingleObject(worker, 0) == WAIT_OBJECT_0) return;
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    if (state.done.load(std::memory_order_acquire)) {
      ::WaitForSingleObject(worker, INFINITE);  // its last act is done; the thread ends right after
      return;
    }
    ::MsgWaitForMultipleObjectsEx(1, &worker, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

// Loads the whole file and hands it to a transfer worker; returns once it has ended.
Step send_file(CPushwellDlg& dialog, const std::string& path) {
  std::optional<HANDLE> opened_pipe = open_pipe_once(kOutPipeName);
  if (!opened_pipe) {
    dialog.message_box(message_text(1031), kBoxOk);
    return Step::command_ends;
  }
  UniqueHandle out_pipe(*opened_pipe);
  if (!out_pipe) {
    dialog.message_box(message_text(1021), kBoxOk);
    return Step::command_ends;
  }

  UniqueHandle file(
      ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    dialog.message_box(naming(message_text(kMsgFileLocked), path), kBoxOk);
    return Step::command_ends;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) {
    dialog.message_box(naming(message_text(kMsgFileReadFailed), path), kBoxOk);
    return Step::command_ends;
  }
  if (size.QuadPart > 0xFFFFFFFFLL) {  // counted in 32 bits: refused rather than truncated
    dialog.message_box(naming(message_text(kMsgFileTooLarge), path), kBoxOk);
    return Step::command_ends;
  }
  const DWORD file_size = static_cast<DWORD>(size.QuadPart);
  auto* buffer = static_cast<std::uint8_t*>(std::malloc(file_size ? file_size : 1));
  if (!buffer) {
    char text[64];
    std::snprintf(text, sizeof text, "Memory Allocation Fail:(%lu)", static_cast<unsigned long>(file_size));
    dialog.message_box(text, kBoxOk);
    return Step::command_ends;
  }
  DWORD read = 0;
  const BOOL read_ok = ::ReadFile(file.get(), buffer, file_size, &read, nullptr);
  file.reset();
  if (!read_ok || read != file_size) {
    std::free(buffer);
    dialog.message_box(naming(message_text(kMsgFileReadFailed), path), kBoxOk);
    return Step::command_ends;
  }
  // The file may have been replaced or cut since its header was checked.
  const HeaderVerdict verdict = check_update_header(buffer, read);
  if (verdict == HeaderVerdict::too_short || verdict == HeaderVerdict::bad_marker) {
    std::free(buffer);
    dialog.message_box(naming(message_text(kMsgFileChanged), path), kBoxOk);
    return Step::command_ends;
  }

  TransferState& state = transfer_state();
  state.file_buffer = buffer;
  state.file_size = read;
  state.bytes_sent.store(0);
  state.out_pipe = out_pipe.get();
  state.outcome.store(TransferOutcome::none);

  dialog.set_poll_period(kTransferPollMs);
  UniqueHandle worker = start_transfer_worker(dialog);
  if (!worker) {
    std::free(buffer);
    state.file_buffer = nullptr;
    dialog.message_box(message_text(kMsgWorkerNotStarted), kBoxOk);
    return Step::command_ends;  // out_pipe is still ours and closes here
  }
  out_pipe.release();  // the worker closes it

  dialog.running_worker = worker.get();
  serve_messages_until_done(worker.get());
  dialog.running_worker = nullptr;

  if (state.outcome.load(std::memory_order_acquire) != TransferOutcome::sent) {
    dialog.message_box(naming(message_text(kMsgTransferFailed), path), kBoxOk);
    return Step::command_ends;
  }
  return Step::next_file;
}

Step handle_file(CPushwellDlg& dialog, std::size_t index) {
  const UpdateFile& row = kUpdateFiles[index];
  const std::string& path = dialog.*(row.path);
  if (index > 0) transfer_state().done.store(0);

  std::uint8_t header[kHeaderCheckSize];
  DWORD header_read = 0;
  {
    UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    const DWORD open_error = file ? ERROR_SUCCESS : ::GetLastError();
    dialog.*(row.opened) = static_cast<bool>(file);
    const bool missing = open_error == ERROR_FILE_NOT_FOUND || open_error == ERROR_PATH_NOT_FOUND;
    if (!file && !missing && index != kLastFile) {
      // It exists but cannot be opened: skipping it would report an update that
      // left this file out as finished.
      dialog.message_box(naming(message_text(kMsgFileLocked), path), kBoxOk);
      return Step::command_ends;
    }
    if (!file || (row.needs_link && !dialog.linked)) {
      if (index != kLastFile) return Step::next_file;
      dialog.message_box(message_text(1035), kBoxOk);
      dialog.end_process();
    }
    if (!::ReadFile(file.get(), header, sizeof header, &header_read, nullptr)) {
      dialog.message_box(naming(message_text(kMsgFileReadFailed), path), kBoxOk);
      return Step::command_ends;
    }
  }

  switch (check_update_header(header, header_read)) {
    case HeaderVerdict::too_short:
      dialog.message_box(message_text(1023), kBoxOk);
      return Step::command_ends;
    case HeaderVerdict::bad_marker:
      dialog.message_box(message_text(1022), kBoxOk);
      return Step::command_ends;
    case HeaderVerdict::skip:
    case HeaderVerdict::send:
      break;
  }

  if (index > 0) dialog.reset_progress_and_texts();
  dialog.set_item_text(IDC_STEP_TEXT, message_text(row.step_text));
  if (check_update_header(header, header_read) == HeaderVerdict::skip) return Step::next_file;
  return send_file(dialog, path);
}

}  // namespace

void run_update_command(CPushwellDlg& dialog) {
  if (!dialog.linked) {
    dialog.message_box(message_text(1021), kBoxOk);
    return;
  }
  if (!identify_device(dialog)) return;

  if (!build_paths(dialog)) {
    dialog.message_box(message_text(kMsgFolderTooLong), kBoxOk);
    return;
  }
  dialog.reset_progress_and_texts();
  dialog.push_to_controls();
  dialog.update_started = true;

  for (std::size_t i = 0; i <= kLastFile; ++i)
    if (handle_file(dialog, i) == Step::command_ends) return;

  if (!dialog.linked) return;
  dialog.message_box(message_text(1010), kBoxQuestion);
  dialog.end_process();
}

}  // namespace pw
