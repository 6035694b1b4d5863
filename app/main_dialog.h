#pragma once
// The updater's main window. It shows what the workflow tells it and raises the
// user's actions; the workflow's host decides, and ends the process.
#include <windows.h>

#include <array>
#include <string>

#include "resources/resource.h"
#include "host/workflow_host.h"
#include "session/frontend.h"
#include "ui/dialog_look.h"
#include "ui/gradient_progress.h"
#include "win/accessibility.h"
#include "win/dialog.h"

class CPushwellDlg : public pw::Dialog<CPushwellDlg>, public pw::ProgramFace {
 public:
  // `host` runs the workflow; the window is handed to it as it opens.
  explicit CPushwellDlg(pw::WorkflowHost& host) noexcept;

  // ProgramFace: what only the dialog does.
  void another_updater_runs() noexcept override;
  bool open_window(pw::WorkflowHost& host) noexcept override;
  void close_refused() noexcept override;
  void close_now() noexcept override;
  void transfer_ended() noexcept override;
  ~CPushwellDlg() override;

  static const std::array<pw::MessageEntry<CPushwellDlg>, 9>& message_table() noexcept;

 private:
  // Frontend: the workflow's events shown in the window's controls and boxes.
  void command_begins() noexcept override;
  void linked(bool linked) noexcept override;
  void files_begin() noexcept override;
  void folder_being_checked(const std::string& text) noexcept override;
  void step_begins(std::size_t file, const char* name, const std::string& text) noexcept override;
  void transfer_begins(std::size_t file, std::uint32_t bytes) noexcept override;
  void file_progress(std::size_t file, int percent) noexcept override;
  void file_result(std::size_t file, pw::FileOutcome outcome, std::uint32_t bytes_sent) noexcept override;
  bool message(const std::string& text, pw::MessageStyle style) noexcept override;
  bool device_lost(const std::string& question) noexcept override;
  void installer_wanted(const std::string& path) noexcept override;
  void command_ended(pw::CommandEnd end, pw::CommandResult result) noexcept override;
  void memory_ran_out() noexcept override;
  void driver_not_answering() noexcept override;
  // The window served no messages during the identification's wait.
  void identification_done(const std::uint8_t* reply, std::size_t size, bool identified,
                           unsigned elapsed_ms) noexcept override;

  // The link status, the step or the result: texts that change while focus stays
  // on a button, so screen readers hear each one that says something (a live region).
  void set_text(int control, const std::string& text, pw::LiveSetting setting = pw::LiveSetting::polite);
  // Leaves the focus on a button the keyboard can still press.
  void disable_update_button() noexcept;
  // A modal box with one of the application's styles; `opened` receives its
  // window once it exists. Returns the id of the button that closed it.
  int show_box(const std::string& text, unsigned style, HWND* opened = nullptr) noexcept;
  // The bar's range, position 0 and the look's colours, as at start.
  void reset_progress() noexcept;
  void clear_step_and_result() noexcept;

  pw::Reply on_init_dialog() noexcept;
  pw::Reply on_about() noexcept;
  // The system menu's "Copy details", also while a command runs.
  pw::Reply on_copy_details() noexcept;
  pw::Reply on_paint(HDC) noexcept;
  pw::Reply on_query_drag_icon() noexcept;
  pw::Reply on_update_clicked() noexcept;
  pw::Reply on_cancel_clicked() noexcept;
  pw::Reply on_destroy() noexcept;
  pw::Reply on_close_update_box() noexcept;
  // A handler ran out of memory: says so, at once or, during a command, once it
  // has ended (which it then does).
  void out_of_memory() noexcept;
  void show_out_of_memory_box() noexcept;
  // The About item: greyed and inert while a command runs, so no box of its own
  // can hold an update up.
  void enable_about(bool enable) noexcept;
  // A close attempt during an update: says why the window stays, in a box that
  // closes itself once the transfer under way has ended.
  void refuse_close();
  // Closes it by its window, so a translation that leaves the text empty closes too.
  void close_update_box() noexcept;
  // The language file may name a face for letters the template's font lacks.
  void apply_language_font();

  HICON icon = nullptr;
  CGradientProgressCtrl progress;
  // Light, dark or High Contrast, as the system asks; the bar takes its colours.
  pw::DialogLook look_;
  pw::Annotations annotations_;
  // Outlives the window: its controls draw with it until they are gone.
  pw::UniqueFont language_font_;
  pw::WorkflowHost& host_;
  int boxes_open_ = 0;
  // The close-attempt box, while it is open.
  bool update_box_open_ = false;
  HWND update_box_ = nullptr;
};
