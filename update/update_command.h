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
struct UpdateFolder;

// Reads the update folder off the host's thread (update_folder.h): the disk may be
// slow or stuck, and hashing takes time. The host answers with
// UpdateCommand::on_folder_read.
class FolderReads {
 public:
  virtual void read_folder(const std::string& folder) noexcept = 0;
  // Looks, off the host's thread, whether update file `file` (not in the folder
  // when it was read) has appeared at `path` since; the record hears so.
  virtual void look_for_late_file(std::size_t file, const std::string& path) noexcept = 0;

 protected:
  ~FolderReads() = default;
};

class UpdateCommand {
 public:
  // `transfers` hears from each worker; it posts to the host's thread, which
  // then calls on_sending, on_progress and on_transfer_ended.
  UpdateCommand(SessionState& session, Frontend& frontend, PresenceSchedule& schedule, TransferHost& transfers,
                FolderReads& folder_reads) noexcept;
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
  // Then the folder is read once (go_on until on_folder_read), and only then is
  // the device identified; every decision and every byte sent comes from that reading.
  Outcome start(const std::string& folder, bool low_battery = false) noexcept;
  // The folder as read, on the host's thread; null when memory ran out for it.
  Outcome on_folder_read(std::unique_ptr<UpdateFolder> folder) noexcept;
  // The user ends the program while the folder is read: nothing was written, and
  // the command ends without a word.
  void abandon_folder_read() noexcept;
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
  Outcome identify_and_send();
  Outcome refuse_folder();
  Outcome run_files(std::size_t from);
  Outcome handle_file(std::size_t index);
  Outcome send_file(std::size_t index);
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
  FolderReads& folder_reads_;
  Identification identification_;
  // The update file paths, rebuilt from the folder at each start.
  std::string firmware_path, sound_path, image_path, imageru_path, database_path;
  // The folder as this command read it; the only source of what is sent.
  std::unique_ptr<UpdateFolder> folder_;
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
