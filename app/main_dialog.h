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
#include "session/window_port.h"
#include "ui/gradient_progress.h"
#include "win/dialog.h"
#include "win/system_platform.h"

class CPushwellDlg : public pw::Dialog<CPushwellDlg>, public pw::WindowPort {
 public:
  CPushwellDlg() noexcept;
  ~CPushwellDlg() override;

  static const std::array<pw::MessageEntry<CPushwellDlg>, 11>& message_table() noexcept;

  // WindowPort.
  void set_text(int control, const std::string& text) override;
  void enable_control(int control, bool enable) noexcept override;
  void set_progress(int position) noexcept override;
  void set_poll_period(unsigned period_ms) noexcept override;
  void schedule_presence_recheck(unsigned delay_ms) noexcept override;
  int show_box(const std::string& text, unsigned style) noexcept override;
  // As show_box; `opened` receives the box's window once it exists.
  int show_box(const std::string& text, unsigned style, HWND* opened) noexcept;
  void reset_progress() noexcept override;
  void mark_transfer_failed() noexcept override;

  static constexpr UINT_PTR kPresenceTimer = 1;
  static constexpr UINT_PTR kPresenceRecheckTimer = 2;  // one-shot
  static constexpr UINT_PTR kUpdateBoxWatchTimer = 3;   // while the close-attempt box is open

 private:
  pw::Reply on_init_dialog() noexcept;
  pw::Reply on_about() noexcept;
  pw::Reply on_paint(HDC) noexcept;
  pw::Reply on_query_drag_icon() noexcept;
  pw::Reply on_timer(UINT_PTR id) noexcept;
  pw::Reply on_update_clicked() noexcept;
  pw::Reply on_cancel_clicked() noexcept;
  pw::Reply on_destroy() noexcept;
  pw::Reply on_progress(int position) noexcept;
  pw::Reply on_query_end_session() noexcept;
  pw::Reply on_end_session() noexcept;
  // What the dialog does with an outcome of the session's code.
  void act_on(pw::Outcome outcome) noexcept;
  // A handler ran out of memory: says so, at once or, while a transfer runs,
  // once the command has ended (which it then does).
  void out_of_memory() noexcept;
  // The About item: greyed and inert while a command runs, so no box of its own
  // can hold an update up.
  void enable_about(bool enable) noexcept;
  // A close attempt during an update: says why the window stays, in a box that
  // closes itself once the transfer under way has ended.
  void refuse_close();
  void close_update_box_once_transfer_ended() noexcept;
  // The language file may name a face for letters the template's font lacks.
  void apply_language_font() noexcept;

  HICON icon = nullptr;
  CGradientProgressCtrl progress;
  pw::SessionState session_;
  // Outlives the window: its controls draw with it until they are gone.
  pw::UniqueFont language_font_;
  pw::SystemPlatform system_;
  pw::CommandPlatform platform_{system_};
  int boxes_open_ = 0;
  // The close-attempt box and the transfer it was opened during.
  bool update_box_open_ = false;
  HWND update_box_ = nullptr;
  const pw::TransferWorker* update_box_transfer_ = nullptr;
};
