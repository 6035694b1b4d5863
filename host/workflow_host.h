#pragma once
// The workflow's host, one for both programs (the dialog and the console
// program). Every event of an update (the user's, the window's, the presence
// probe's, the folder's reading, the worker's, another program's) goes to one
// table, the command's (session/command_machine.h), and the host carries out
// what it decides. It composes the pieces that do the work: the record, the
// platform's calls and the front end as one chain of listeners; the presence
// probe; the reading of the folder; the update command's work; the window it is
// handed, through a table of typed messages. Window thread only, but for
// console_closing().
#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "device/presence_check.h"
#include "host/folder_reader.h"
#include "host/forwarding_frontend.h"
#include "host/platform.h"
#include "host/platform_frontend.h"
#include "host/presence_probe.h"
#include "host/recording_frontend.h"
#include "host/run_details.h"
#include "host/single_instance.h"
#include "host/system_platform.h"
#include "session/command_runner.h"
#include "session/frontend.h"
#include "session/session_state.h"
#include "update/update_command.h"
#include "win/control.h"
#include "win/dialog.h"
#include "win/quit_hook.h"

namespace pw {

// How the process ends when the workflow says so: at once with status 0 (the
// dialog), or by leaving the host's loop (the console program, which then
// prints its end and returns its own status).
enum class ProcessEnd { exit_now, leave_loop };

class WorkflowHost;

// A program's face: it shows the workflow's events (Frontend) and does what
// only the program knows how to do.
class ProgramFace : public Frontend {
 public:
  // Another updater holds the lock: say so.
  virtual void another_updater_runs() noexcept = 0;
  // Makes the program's window and hands it to the host (WorkflowHost::attach).
  // The dialog runs in here until it closes; false when no window could be made.
  virtual bool open_window(WorkflowHost& host) noexcept = 0;
  // A close asked while the device may receive bytes: the program stays, and says why.
  virtual void close_refused() noexcept = 0;
  // Closes as asked.
  virtual void close_now() noexcept = 0;
  // The transfer under way has ended, also while a box holds the table's hearing
  // of it: a box that waits only for that closes.
  virtual void transfer_ended() noexcept {}

 protected:
  ~ProgramFace() = default;
};

// How the programs differ in the one order of run().
struct RunOptions {
  std::string folder;              // the update files and the driver installer
  bool lock_only_looked_at = false;  // whether another updater holds the lock, without taking it (writes nothing)
  bool library_first = false;      // the pipe library must load before the window opens
  bool first_check_waits = false;  // the first presence check is waited for (else: 100 ms after the window opens)
  bool update_at_once = false;     // the update command starts once the device is linked
  bool allow_battery = false;      // it starts also on battery with a low charge
};

enum class RunEnd {
  another_updater,  // the lock is held elsewhere
  no_library,       // library_first, and it cannot be loaded
  no_window,        // the window could not be made
  not_linked,       // first_check_waits: no device (or it was lost)
  driver_stuck,     // first_check_waits: the first presence probe did not answer in time
  linked,           // first_check_waits without update_at_once: the device is there
  ended,            // the window closed, or the command (and the process) ended
};

class WorkflowHost final : private CommandEffects {
 public:
  // `program` names the program in the run's record, which starts here.
  WorkflowHost(const char* program, ProcessEnd process_end);
  // Stops a running transfer and waits for it (bounded) before anything it uses goes.
  ~WorkflowHost();
  WorkflowHost(const WorkflowHost&) = delete;
  WorkflowHost& operator=(const WorkflowHost&) = delete;

  // Both programs, in one order: the lock, the library search, (the library),
  // the window, the first presence check, (the command), the loop.
  RunEnd run(const RunOptions& options, ProgramFace& face) noexcept;

  RunDetails& details() noexcept { return details_; }
  // The face that hears the workflow from now on (run() sets it too).
  void listen(ProgramFace& face) noexcept {
    face_ = &face;
    link_.forward_to(&face);
  }
  // The process is to end: the lost-device question said so, or the final box was seen.
  bool process_end_wanted() const noexcept { return process_end_wanted_; }
  // Where the front end's own messages enter the chain (recorded, then shown).
  Frontend& record() noexcept { return recorder_; }
  // The face's window, handed over as it opens: the host's timers, its posted
  // messages, its close and the session's end go through it from now on.
  bool attach(HWND window) noexcept;

  // The user's actions, as the face hears them.
  void start_update() noexcept { feed_update_asked(); }
  void close_asked() noexcept { runner_.post(Event::close_asked); }
  // A handler of the front end ran out of memory.
  void out_of_memory() noexcept { runner_.post(Event::out_of_memory); }

  bool command_running() const noexcept { return runner_.machine().phase() != Phase::idle; }
  // A transfer is under way: its end has not been reported yet (also while the
  // report waits behind a box for the table).
  bool transfer_running() const noexcept { return work_.transferring() && !transfer_end_reported_; }

  // From the console's control handler, on its own thread: a closing console,
  // log-off or shutdown holds further files and stops a file not yet sending;
  // waits up to `timeout_ms` for the transfer under way to end.
  static bool console_closing(DWORD timeout_ms) noexcept;
  // The table's phase as last decided, for the console's control handler on its own thread.
  static Phase published_phase() noexcept;

 private:
  // The host's window: a typed table of the messages it acts on; the timers the
  // presence checks ask for.
  class Window final : public SubclassedControl, public PresenceSchedule {
   public:
    explicit Window(WorkflowHost& host) noexcept : host_(host) {}
    static const std::array<MessageEntry<Window>, 15>& message_table() noexcept;
    void set_poll_period(unsigned period_ms) noexcept override;
    void schedule_presence_recheck(unsigned delay_ms) noexcept override;
    void timer(UINT_PTR id, unsigned period_ms) noexcept;
    void kill_timer(UINT_PTR id) noexcept;

   private:
    LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) noexcept override;
    void window_gone() noexcept override;
    Reply on_timer(UINT_PTR id) noexcept;
    Reply on_probe_answered(WPARAM serial) noexcept;
    Reply on_folder_hashing(WPARAM id) noexcept;
    Reply on_folder_read(WPARAM serial) noexcept;
    Reply on_late_file(WPARAM serial) noexcept;
    Reply on_installer_checked(WPARAM serial) noexcept;
    Reply on_loading() noexcept;
    Reply on_sending() noexcept;
    Reply on_progress(WPARAM percent) noexcept;
    Reply on_transfer_ended() noexcept;
    Reply on_query_end_session() noexcept;
    Reply on_end_session(WPARAM ending) noexcept;
    Reply on_close() noexcept;
    Reply on_quit(WPARAM) noexcept;
    Reply on_console_closing() noexcept;
    WorkflowHost& host_;
  };

  // The last link of the chain before the face: the workflow's own boxes and the
  // installer go through the table and the folder's check.
  class Link final : public ForwardingFrontend {
   public:
    explicit Link(WorkflowHost& host) noexcept : host_(host) {}
    bool message(const std::string& text, MessageStyle style) noexcept override;
    bool device_lost(const std::string& question) noexcept override;
    void installer_wanted(const std::string& path) noexcept override;

   private:
    WorkflowHost& host_;
  };

  void feed_update_asked() noexcept;
  // The table's actions, as this program carries them out.
  void say(Action box) noexcept override;
  Event start_command() noexcept override;
  bool read_folder() noexcept override;
  void stop_folder_read() noexcept override;
  Event take_folder() noexcept override;
  Event identify() noexcept override;
  Event next_file(bool held) noexcept override;
  Event finish_file() noexcept override;
  void stop_unsent_file() noexcept override;
  Event give_up_worker() noexcept override;
  void abandon_worker() noexcept override;
  void show_sending() noexcept override;
  void show_progress() noexcept override;
  void show_ending_box() noexcept override;
  void end_command(EndReason reason, bool process_ends) noexcept override;
  void refuse_close() noexcept override;
  void close_program() noexcept override;
  void end_process() noexcept override;
  void phase_followed(Phase phase) noexcept override;
  void waits(Event event) noexcept override;
  void decided(Event event, const Decision& decision) noexcept override;
  // Presence.
  void poll(PresenceCheck check) noexcept;
  void probe_answered() noexcept;
  void probe_not_answering() noexcept;
  void installer_checked(WPARAM serial) noexcept;

  const ProcessEnd process_end_;
  RunDetails details_;
  std::optional<InstanceLock> lock_;
  RunOptions options_;
  ProgramFace* face_ = nullptr;
  SessionState session_;
  CommandRunner runner_{*this};
  SystemPlatform system_;
  CommandPlatform platform_{system_, runner_.machine()};
  // The chain every workflow event travels: the record, the platform's calls, the host's link, the face.
  Link link_{*this};
  PlatformFrontend platform_link_{platform_, &shutdown_reason};
  RecordingFrontend recorder_{platform_link_, details_};
  Window window_{*this};
  PresenceProbe probe_;
  FolderReader folder_reader_;
  QuitHook quit_hook_;
  // Posts the worker's events; kept for the rest of the process when a worker
  // that did not stop is kept, since it may still call.
  std::unique_ptr<TransferHost> poster_;
  // The same poster, also once it is kept: the window's end and the host's still aim it.
  TransferHost* const poster_view_ = poster_.get();
  // A file absent from the folder's reading, looked for again off this thread.
  class LateFiles final : public LateFileWatch {
   public:
    explicit LateFiles(WorkflowHost& host) noexcept : host_(host) {}
    void look_for_late_file(std::size_t file, const std::string& path) noexcept override;

   private:
    WorkflowHost& host_;
  } late_files_{*this};
  UpdateCommand work_;
  int last_progress_ = 0;
  bool transfer_end_reported_ = false;  // the worker's end came, and waits for the table to read it
  bool leave_loop_ = false;
  bool process_end_wanted_ = false;
  bool pipe_watch_armed_ = false;
  bool folder_reading_failed_ = false;
  std::string installer_path_;

  static std::string shutdown_reason();
};

}  // namespace pw
