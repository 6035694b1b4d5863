#pragma once
// The update command of the button, driven by events: start() checks the link,
// identifies the device and handles the files up to the first transfer; the
// transfer worker opens, loads and sends each file, and its end, reported to the
// host's thread, continues with the next file. No wait of its own holds the
// thread between the two, so no modal loop the user opens (a menu, a box, a
// drag) can hold the next file, and a slow driver never holds the window.
#include <windows.h>

#include <array>
#include <atomic>
#include <optional>
#include <cstdint>
#include <memory>
#include <string>

#include "device/identification.h"
#include "lang/text_keys.h"
#include "session/frontend.h"
#include "session/session_state.h"
#include "update/transfer.h"
#include "update/update_plan.h"

namespace pw {

class TransferWorker;
struct CheckedFile;
struct FolderVerdict;

// Checks an update folder against its signed list off the host's thread: hashing
// the files takes time. The host answers with UpdateCommand::on_folder_checked.
class FolderChecks {
 public:
  virtual void check_folder(const std::string& folder) noexcept = 0;

 protected:
  ~FolderChecks() = default;
};

class UpdateCommand {
 public:
  // `transfers` hears from each worker; it posts to the host's thread, which
  // then calls on_sending, on_progress and on_transfer_ended.
  UpdateCommand(SessionState& session, Frontend& frontend, PresenceSchedule& schedule, TransferHost& transfers,
                FolderChecks& folder_checks) noexcept;
  // A worker still running is stopped and waited for (see stop_transfer).
  ~UpdateCommand();
  UpdateCommand(const UpdateCommand&) = delete;
  UpdateCommand& operator=(const UpdateCommand&) = delete;

  // Works on the update files of `folder`. go_on while a transfer runs (the
  // command goes on at its end); otherwise the command has ended and the front
  // end has heard command_ended: end_process when the update completed or the
  // process must end for another reason, command_ended after an early end.
  // Nothing when a command already runs.
  // `low_battery`: the computer runs on battery with too little charge; the
  // command then ends after the link check, before the identification byte.
  // Then the folder is checked against its signed list (go_on until
  // on_folder_checked), and only then is the device identified.
  Outcome start(const std::string& folder, bool low_battery = false) noexcept;
  // The folder's verdict, on the host's thread; null when memory ran out for it.
  Outcome on_folder_checked(const FolderVerdict* verdict) noexcept;
  bool checking_folder() const noexcept { return folder_check_pending_; }
  // The worker's events, on the host's thread.
  void on_sending() noexcept;
  void on_progress(int percent) noexcept;
  // The file's result, then the next file or the end, as start() returns.
  Outcome on_transfer_ended() noexcept;

  // A worker runs, from its start to its end event.
  bool transferring() const noexcept { return worker_ != nullptr; }
  // The worker is still inside the driver's pipe open.
  bool opening_pipe() const noexcept;
  // The pipe open did not return in time: the worker is abandoned (never
  // killed, its memory kept), the user told, and the command ends.
  Outcome give_up_pipe_open() noexcept;
  // A thread given up on may still be inside the driver: nothing more is asked of it.
  bool driver_held() const noexcept { return driver_held_ || identification_.driver_held(); }
  // A handler ran out of memory during the command: it ends once the transfer
  // under way has ended, and the front end hears why.
  void note_out_of_memory() noexcept { out_of_memory_ = true; }
  // The process ends: the worker, if any, is told to stop and waited for up to
  // `wait_ms`; one that has not ended by then is kept, never freed, so it cannot
  // write into freed memory. The command ends (the front end is not told).
  // Returns false when a worker was kept.
  bool stop_transfer(DWORD wait_ms) noexcept;
  // From any thread: no further file starts; the command ends before it.
  void hold_next_file() noexcept { hold_next_file_.store(true); }
  // How long the end of the process waits for a stopped transfer to wind down.
  static constexpr DWORD kWorkerStopWaitMs = 3000;

 private:
  Outcome identify_and_send(const FolderVerdict& verdict);
  Outcome refuse_folder(const FolderVerdict& verdict);
  Outcome run_files(std::size_t from);
  Outcome handle_file(std::size_t index);
  Outcome send_file(std::size_t index, const CheckedFile& checked);
  Outcome finish_transfer();
  Outcome end(Outcome outcome) noexcept;
  Outcome refuse(CommandResult why, TextKey text);
  Outcome refuse(CommandResult why, TextKey text, const std::string& path);
  Outcome end_with_message(const std::string& text, MessageStyle style);
  // In the planner's order.
  std::string& path_of(std::size_t index) noexcept;

  SessionState& session_;
  Frontend& frontend_;
  PresenceSchedule& schedule_;
  TransferHost& transfers_;
  FolderChecks& folder_checks_;
  Identification identification_;
  // The update file paths, rebuilt from the folder at each start.
  std::string firmware_path, sound_path, image_path, imageru_path, database_path;
  std::string folder_;
  bool folder_check_pending_ = false;
  // What the folder's signed list gives for each file, by index into kUpdateFiles.
  std::array<std::optional<std::array<std::uint8_t, 32>>, kUpdateFiles.size()> listed_;
  std::unique_ptr<TransferWorker> worker_;
  std::size_t file_ = 0;    // the file handled now
  std::string sent_;        // one line per file the device received whole
  bool out_of_memory_ = false;
  bool driver_held_ = false;
  std::atomic<bool> hold_next_file_{false};
  unsigned long long transfer_started_ms_ = 0;  // the worker's start, on the tick count
  CommandResult result_ = CommandResult::completed;  // why the command ends
};

}  // namespace pw
