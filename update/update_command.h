#pragma once
// The work of the update command, one step per action of the command's table
// (session/command_machine.h): the checks at the start, the folder as read, the
// identification, each file's decision and transfer, and what the front end hears
// of it. Each step returns what it came to, as the event the table decides next;
// none waits for anything but the identification's bounded wait, so no modal loop
// the user opens (a menu, a box, a drag) holds the next file, and a slow driver
// never holds the window. Host thread only.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/identification.h"
#include "lang/text_keys.h"
#include "session/command_machine.h"
#include "session/frontend.h"
#include "session/session_state.h"
#include "update/transfer.h"
#include "update/update_plan.h"

namespace pw {

class TransferWorker;
struct UpdateFolder;

// Looks, off the host's thread, whether update file `file` (not in the folder when
// it was read, so never sent in this command) has appeared at `path` since; the
// record hears so.
class LateFileWatch {
 public:
  virtual void look_for_late_file(std::size_t file, const std::string& path) noexcept = 0;

 protected:
  ~LateFileWatch() = default;
};

class UpdateCommand {
 public:
  // `transfers` hears from each worker; it posts to the host's thread.
  UpdateCommand(SessionState& session, Frontend& frontend, PresenceSchedule& schedule, TransferHost& transfers,
                LateFileWatch& late_files) noexcept;
  // A worker still running is stopped and waited for (see end_worker).
  ~UpdateCommand();
  UpdateCommand(const UpdateCommand&) = delete;
  UpdateCommand& operator=(const UpdateCommand&) = delete;

  // The link, the battery (`low_battery`: on battery with too little charge) and
  // the paths of `folder`'s files: folder_wanted, or command_refused.
  Event begin(const std::string& folder, bool low_battery) noexcept;
  // The folder as read (null: memory ran out for it), judged and recorded:
  // folder_accepted, or command_refused.
  Event take_folder(std::unique_ptr<UpdateFolder> folder) noexcept;
  // identified, command_refused, driver_held or wrong_device.
  Event identify() noexcept;
  // The files after the last one handled, as the folder was read: worker_started,
  // files_done or database_missing (ending_text() says what the box says), or
  // command_refused. With `held` no worker starts: a file left to send is file_stopped.
  Event next_file(bool held) noexcept;
  // The worker's end read and told: file_sent, file_stopped or command_refused.
  Event finish_file() noexcept;
  // The pipe open did not return in time: the worker is abandoned (never
  // killed, its memory kept), the user told: driver_held.
  Event give_up_worker() noexcept;
  // The same, without a word: the program ends as asked.
  void abandon_worker() noexcept;

  // Why the command ends, as its work found it, once (nothing: it has nothing to
  // say). A text may be empty, as a language file without it has it: its box still shows.
  std::optional<Saying> take_saying() noexcept {
    std::optional<Saying> said;
    said.swap(saying_);
    return said;
  }
  // The box after which the process ends, and its style.
  const std::string& ending_text() const noexcept { return ending_text_; }
  MessageStyle ending_style() const noexcept { return ending_style_; }
  // The worker's posted reports, on the host's thread.
  void on_sending() noexcept;
  void on_progress(int percent) noexcept;
  // The front end hears that the command ended, and why.
  void ended(EndReason reason, bool process_ends) noexcept;

  // A worker runs, from its start until its end was read.
  bool transferring() const noexcept { return worker_ != nullptr; }
  // A worker that has not sent its first byte stops and sends nothing of its file.
  void stop_unsent() noexcept;
  // The process ends: the worker, if any, is told to stop and waited for up to
  // `wait_ms`; one that has not ended by then is kept, never freed, so it cannot
  // write into freed memory. Returns false when a worker was kept.
  bool end_worker(DWORD wait_ms) noexcept;
  // How long the end of the process waits for a stopped transfer to wind down.
  static constexpr DWORD kWorkerStopWaitMs = 3000;

 private:
  Event refused(CommandResult why, TextKey text) noexcept;
  Event refused(CommandResult why, TextKey text, const std::string& path) noexcept;
  Event refused(CommandResult why, const std::string& text) noexcept;
  Event silent_end(CommandResult why) noexcept;
  Event refuse_folder();
  Event handle_file(std::size_t index, bool held);
  Event send_file(std::size_t index);
  Event file_ended();
  Event ends_the_process(const std::string& text, MessageStyle style) noexcept;
  // In the planner's order.
  std::string& path_of(std::size_t index) noexcept;

  SessionState& session_;
  Frontend& frontend_;
  PresenceSchedule& schedule_;
  TransferHost& transfers_;
  LateFileWatch& late_files_;
  Identification identification_;
  // The update file paths, rebuilt from the folder at each start.
  std::string firmware_path, sound_path, image_path, imageru_path, database_path;
  // The folder as this command read it; the only source of what is sent.
  std::unique_ptr<UpdateFolder> folder_;
  std::unique_ptr<TransferWorker> worker_;
  std::size_t file_ = 0;   // the file handled now
  std::size_t next_ = 0;   // the first file not yet handled
  std::string sent_;       // one line per file the device received whole
  std::optional<Saying> saying_;
  std::string ending_text_;
  MessageStyle ending_style_ = MessageStyle::question;
  unsigned long long transfer_started_ms_ = 0;  // the worker's start, on the tick count
  CommandResult result_ = CommandResult::completed;  // why the command ends
};

}  // namespace pw
