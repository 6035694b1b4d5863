#pragma once
// The update command of the button, driven by events: start() checks the link,
// identifies the device and handles the files up to the first transfer; each
// transfer's end, reported by the worker to the front end's thread, continues
// with the next file. No wait of its own holds the thread between the two, so
// no modal loop the user opens (a menu, a box, a drag) can hold the next file.
#include <cstdint>
#include <memory>
#include <string>

#include "device/identification.h"
#include "lang/text_keys.h"
#include "session/frontend.h"
#include "session/session_state.h"
#include "update/transfer.h"

namespace pw {

class TransferWorker;
struct CheckedFile;

class UpdateCommand {
 public:
  // `transfers` hears from each worker; it posts to the front end's thread,
  // which then calls on_progress and on_transfer_ended.
  UpdateCommand(SessionState& session, Frontend& frontend, PresenceSchedule& schedule,
                TransferHost& transfers) noexcept;
  ~UpdateCommand();
  UpdateCommand(const UpdateCommand&) = delete;
  UpdateCommand& operator=(const UpdateCommand&) = delete;

  // go_on while a transfer runs (the command goes on at its end); otherwise the
  // command has ended and the front end has heard command_ended: end_process
  // when the update completed or the process must end for another reason,
  // command_ended after an early end. Nothing when a command already runs.
  Outcome start() noexcept;
  // The worker's end event, on the front end's thread: the file's result, then
  // the next file or the end, as start() returns.
  Outcome on_transfer_ended() noexcept;
  // The worker's progress event, on the front end's thread.
  void on_progress(int percent) noexcept;

  bool running() const noexcept { return session_.command_running; }
  // The transfer under way, if any; stopped and joined before the process ends.
  TransferWorker* transfer() const noexcept { return session_.running_worker; }

 private:
  Outcome run_files(std::size_t from);
  Outcome handle_file(std::size_t index);
  Outcome send_file(std::size_t index, const CheckedFile& checked);
  Outcome finish_transfer();
  Outcome end(Outcome outcome) noexcept;
  Outcome refuse(CommandResult why, TextKey text);
  Outcome refuse(CommandResult why, TextKey text, const std::string& path);
  Outcome end_with_message(const std::string& text, MessageStyle style);

  SessionState& session_;
  Frontend& frontend_;
  PresenceSchedule& schedule_;
  TransferHost& transfers_;
  Identification identification_;
  std::unique_ptr<TransferWorker> worker_;
  std::size_t file_ = 0;    // the file handled now
  std::string sent_;        // one line per file the device received whole
  std::uint32_t transfer_payload_ = 0;          // of the transfer under way, for the record
  unsigned long long transfer_started_ms_ = 0;  // its start, on the tick count
  CommandResult result_ = CommandResult::completed;  // why the command ends
};

}  // namespace pw
