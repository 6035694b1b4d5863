#pragma once
// The updater's main window. It shows what the session tells it and raises the
// user's actions; the presence poll and the update command decide, and only the
// application ends the process (end_process).
#include <windows.h>

#include <array>
#include <string>

#include "resources/resource.h"
#include "session/platform.h"
#include "session/session_state.h"
#include "session/frontend.h"
#include "session/recording_frontend.h"
#include "session/run_details.h"
#include "ui/gradient_progress.h"
#include "update/transfer.h"
#include "update/update_command.h"
#include "win/dialog.h"
#include "win/system_platform.h"

class CPushwellDlg : public pw::Dialog<CPushwellDlg>,
                     private pw::Frontend,
                     private pw::PresenceSchedule,
                     private pw::TransferHost {
 public:
  // `details` is the run's record, owned by the application.
  explicit CPushwellDlg(pw::RunDetails& details) noexcept;
  ~CPushwellDlg() override;

  static const std::array<pw::MessageEntry<CPushwellDlg>, 14>& message_table() noexcept;

  static constexpr UINT_PTR kPresenceTimer = 1;
  static constexpr UINT_PTR kPresenceRecheckTimer = 2;  // one-shot

 private:
  // Frontend: the workflow's events shown in the window's controls and boxes.
  void command_begins() noexcept override;
  void linked(bool linked) noexcept override;
  void files_begin() noexcept override;
  void step_begins(std::size_t file, const char* name) noexcept override;
  void transfer_begins(std::size_t file, std::uint32_t bytes) noexcept override;
  void file_progress(std::size_t file, int percent) noexcept override;
  void file_result(std::size_t file, pw::FileOutcome outcome, std::uint32_t bytes_sent) noexcept override;
  bool message(const std::string& text, pw::MessageStyle style) noexcept override;
  bool device_lost(const std::string& question) noexcept override;
  void installer_wanted(const std::string& path) noexcept override;
  void command_ended(pw::CommandEnd end, pw::CommandResult result) noexcept override;
  // PresenceSchedule: timers 1 and 2.
  void set_poll_period(unsigned period_ms) noexcept override;
  void schedule_presence_recheck(unsigned delay_ms) noexcept override;
  // TransferHost: from the worker's thread, posted to the window.
  void progressed(int position) noexcept override;
  void ended() noexcept override;

  void set_text(int control, const std::string& text);
  // A modal box with one of the application's styles; `opened` receives its
  // window once it exists. Returns the id of the button that closed it.
  int show_box(const std::string& text, unsigned style, HWND* opened = nullptr) noexcept;
  // The bar's range, position 0 and colours, as at start.
  void reset_progress() noexcept;
  void clear_step_and_result() noexcept;

  pw::Reply on_init_dialog() noexcept;
  pw::Reply on_about() noexcept;
  // The system menu's "Copy details", also while a command runs.
  pw::Reply on_copy_details() noexcept;
  pw::Reply on_paint(HDC) noexcept;
  pw::Reply on_query_drag_icon() noexcept;
  pw::Reply on_timer(UINT_PTR id) noexcept;
  pw::Reply on_update_clicked() noexcept;
  pw::Reply on_cancel_clicked() noexcept;
  pw::Reply on_destroy() noexcept;
  pw::Reply on_progress(int position) noexcept;
  pw::Reply on_transfer_ended() noexcept;
  pw::Reply on_close_update_box() noexcept;
  pw::Reply on_query_end_session() noexcept;
  pw::Reply on_end_session() noexcept;
  // What the dialog does with an outcome of the session's code.
  void act_on(pw::Outcome outcome) noexcept;
  // A handler ran out of memory: says so, at once or, while a transfer runs,
  // once the command has ended (which it then does).
  void out_of_memory() noexcept;
  void note_out_of_memory_box() noexcept;
  // The About item: greyed and inert while a command runs, so no box of its own
  // can hold an update up.
  void enable_about(bool enable) noexcept;
  // A close attempt during an update: says why the window stays, in a box that
  // closes itself once the transfer under way has ended.
  void refuse_close();
  // Closes it by its window, so a translation that leaves the text empty closes too.
  void close_update_box() noexcept;
  // The language file may name a face for letters the template's font lacks.
  void apply_language_font() noexcept;

  HICON icon = nullptr;
  CGradientProgressCtrl progress;
  pw::SessionState session_;
  // Outlives the window: its controls draw with it until they are gone.
  pw::UniqueFont language_font_;
  pw::SystemPlatform system_;
  pw::CommandPlatform platform_{system_, session_};
  pw::RunDetails& details_;
  // The workflow hears this in the window's stead: it records, then shows.
  pw::RecordingFrontend recorder_{*this, details_};
  pw::UpdateCommand command_{session_, recorder_, *this, *this};
  int boxes_open_ = 0;
  // The close-attempt box, while it is open.
  bool update_box_open_ = false;
  HWND update_box_ = nullptr;
};
