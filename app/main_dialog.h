#pragma once
// The updater's main window: a modal dialog whose message table routes the timer to
// the presence monitor and the update button to the update sequence.
#include <windows.h>

#include <array>
#include <atomic>
#include <string>

#include "resources/resource.h"
#include "ui/gradient_progress.h"
#include "update/transfer.h"
#include "win/dialog.h"

class CPushwellDlg : public pw::Dialog<CPushwellDlg>, public pw::TransferHost {
 public:
  CPushwellDlg() noexcept;
  ~CPushwellDlg() override;

  static const std::array<pw::MessageEntry<CPushwellDlg>, 8>& message_table() noexcept;

  // Operations the device and update code use.
  void push_to_controls() noexcept;  // binds control 1003 to `progress`, once
  void reset_progress_and_texts() noexcept;
  void configure_progress() noexcept;
  void set_poll_period(UINT period_ms) const noexcept { set_timer(kPresenceTimer, period_ms); }
  // Ends the process with status 0. A running transfer is cancelled and joined first,
  // so the runtime's exit handlers never run under a worker still using its state.
  [[noreturn]] void end_process() noexcept;

  // Transfer worker's window operations; they run on the worker's thread and reach
  // the window as synchronous messages.
  void disable_update_button() override;
  void set_progress(int position) override;
  void set_result_text(bool succeeded) override;
  void release(std::uint8_t* file_buffer, void* out_pipe) override;

  // State, as the rest of the program shares it.
  HICON icon = nullptr;
  bool linked = false;
  bool installer_started = false;
  bool update_started = false;
  bool firmware_opened = false;
  bool image_opened = false;
  bool imageru_opened = false;
  bool sound_opened = false;
  bool database_opened = false;
  CGradientProgressCtrl progress;
  std::string firmware_path, sound_path, image_path, imageru_path, database_path;

  // One update command at a time: clicks delivered while one runs do nothing.
  bool command_running = false;
  // The "library unloaded" box: never two at once, and not again until a load has
  // succeeded in between.
  bool library_box_open = false;
  bool library_failure_reported = false;
  // The worker thread of the transfer under way, borrowed from the sequence.
  HANDLE running_worker = nullptr;

  static constexpr UINT_PTR kPresenceTimer = 1;

 private:
  pw::Reply on_init_dialog(WPARAM, LPARAM) noexcept;
  pw::Reply on_sys_command_about(WPARAM, LPARAM) noexcept;
  pw::Reply on_paint(WPARAM, LPARAM) noexcept;
  pw::Reply on_query_drag_icon(WPARAM, LPARAM) noexcept;
  pw::Reply on_timer(WPARAM, LPARAM) noexcept;
  pw::Reply on_update_clicked(WPARAM, LPARAM) noexcept;
  pw::Reply on_cancel_clicked(WPARAM, LPARAM) noexcept;
  pw::Reply on_destroy(WPARAM, LPARAM) noexcept;
};
