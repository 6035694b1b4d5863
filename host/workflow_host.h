#pragma once
// The workflow's host, one for both front ends (the dialog and the console
// program). It owns the session state, the update command, the presence checks
// and their timers, the transfer worker's posted events, the run's record, the
// platform calls around an update, the one-updater lock and the end of the
// process. A front end implements Frontend, hands its window over, and raises
// the user's actions; everything else of the workflow happens here, on the
// window's thread.
#include <windows.h>

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "device/driver_call.h"
#include "device/presence_monitor.h"
#include "host/forwarding_frontend.h"
#include "host/platform.h"
#include "host/recording_frontend.h"
#include "host/run_details.h"
#include "host/single_instance.h"
#include "host/system_platform.h"
#include "session/frontend.h"
#include "session/session_state.h"
#include "update/transfer.h"
#include "update/folder_check.h"
#include "update/update_command.h"
#include "update/update_folder.h"
#include "win/posted_call.h"

namespace pw {

// How the process ends when the workflow says so: at once with status 0 (the
// dialog), or by leaving serve_until_idle (the console program, which then
// prints its end and returns its own status).
enum class ProcessEnd { exit_now, leave_loop };

// Posts the worker's events to the host's window. Kept for the rest of the
// process when a worker that did not stop is kept, since it may still call.
class WindowPoster;

class WorkflowHost final : private ForwardingFrontend, private PresenceSchedule, private FolderReads {
 public:
  // `program` names the program in the run's record, which starts here.
  WorkflowHost(const char* program, ProcessEnd process_end);
  // Stops a running transfer and waits for it (bounded) before anything it uses goes.
  ~WorkflowHost();
  WorkflowHost(const WorkflowHost&) = delete;
  WorkflowHost& operator=(const WorkflowHost&) = delete;

  // Takes the one-updater lock, held until the host goes.
  InstanceVerdict take_lock() noexcept;

  RunDetails& details() noexcept { return details_; }
  // Where the front end's own messages enter the record on their way to it.
  Frontend& record() noexcept { return recorder_; }
  // The front end that hears the workflow from now on.
  void listen(Frontend& frontend) noexcept { forward_to(&frontend); }

  // Hands the front end's window to the workflow: its timers, the worker's
  // events and the session end go through it from now on. `folder` holds the
  // update files and the driver installer.
  bool attach(HWND window, const std::string& folder) noexcept;
  // The first presence check, `kFirstPollMs` from now (the window's first tick).
  void check_presence_soon() noexcept;
  // The first presence check, now: waits for the probe's answer (bounded).
  void check_presence_now() noexcept;

  // The update command: the button's click, or the console program's command.
  // `allow_battery`: start also on battery with a low charge.
  void start_update(bool allow_battery = false) noexcept;
  bool command_running() const noexcept { return session_.command_running; }
  // Closing would cut an update: the device may be receiving bytes. While the
  // folder is still being read it is not: closing then ends the command.
  bool update_protected() const noexcept { return session_.update_protected(); }
  bool transfer_running() const noexcept { return command_.transferring(); }
  bool linked() const noexcept { return session_.linked; }
  // The process is to end (a lost device answered so, or the final message seen).
  bool process_end_wanted() const noexcept { return process_end_wanted_; }
  // Serves the thread's messages while a command runs and the process is to go on.
  void serve_until_idle() noexcept;
  // A handler of the front end ran out of memory.
  void out_of_memory() noexcept;

  // From any thread (a console's closing handler): no further file starts, and
  // this waits up to `timeout_ms` for the transfer under way to end.
  bool finish_transfer_under_way(DWORD timeout_ms) noexcept;

 private:
  static LRESULT CALLBACK window_proc(HWND window, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                                      DWORD_PTR self) noexcept;
  bool handle(UINT msg, WPARAM wp, LRESULT& result);
  // Starts a presence probe on a thread of its own, unless one is outstanding.
  void poll(PresenceCheck check);
  // The probe under way has answered.
  void probe_answered();
  // A probe outstanding for long: said once; a pipe open that never returns: the command ends.
  void watch_probe();
  void watch_pipe_open();
  void act_on(Outcome outcome) noexcept;
  void transfer_state_changed() noexcept;

  // Frontend: the platform calls follow the workflow, then the front end hears it.
  void command_begins() noexcept override;
  void file_progress(std::size_t file, int percent) noexcept override;
  void file_result(std::size_t file, FileOutcome outcome, std::uint32_t bytes_sent) noexcept override;
  bool message(const std::string& text, MessageStyle style) noexcept override;
  bool device_lost(const std::string& question) noexcept override;
  void files_handed_over() noexcept override;
  void command_ended(CommandEnd end, CommandResult result) noexcept override;
  void installer_wanted(const std::string& path) noexcept override;
  // FolderReads: on threads of their own, never waited for; each posts its answer.
  void read_folder(const std::string& folder) noexcept override;
  void look_for_late_file(std::size_t file, const std::string& path) noexcept override;
  void folder_hashing_begins(WPARAM id);
  void folder_read(WPARAM serial);
  void late_file_looked_for(WPARAM serial);
  void installer_checked(WPARAM serial);
  // PresenceSchedule.
  void set_poll_period(unsigned period_ms) noexcept override;
  void schedule_presence_recheck(unsigned delay_ms) noexcept override;

  const ProcessEnd process_end_;
  RunDetails details_;
  std::optional<InstanceLock> lock_;
  HWND window_ = nullptr;
  std::string folder_;
  bool process_end_wanted_ = false;
  SessionState session_;
  // The presence probe under way, if any, and the kind of check it is for.
  std::optional<DriverCall> probe_;
  PresenceCheck probe_check_ = PresenceCheck::periodic;
  bool recheck_waiting_ = false;  // a recheck came while a probe was outstanding
  bool probe_stuck_ = false;      // the probe under way was said not to answer
  // The reading of the update folder under way, and the signer it has found
  // (shared with its thread, which may outlive the host).
  PostedCall<UpdateFolder> folder_read_;
  std::shared_ptr<struct FolderReadNote> folder_note_;
  // Whether an update file absent from the folder's reading has appeared since, by file.
  std::array<PostedCall<bool>, kUpdateFiles.size()> late_files_;
  // The driver installer checked against the folder's list before it starts.
  PostedCall<CheckedInstaller> installer_check_;
  std::string installer_path_;
  SystemPlatform system_;
  CommandPlatform platform_{system_, session_};
  RecordingFrontend recorder_{*this, details_};
  // Signalled while no transfer runs, for a console's closing handler.
  UniqueHandle transfer_idle_;
  std::unique_ptr<WindowPoster> poster_;
  UpdateCommand command_;
};

}  // namespace pw
