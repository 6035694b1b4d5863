#pragma once
// What an update asks of the system around the window: a system and display
// that stay awake, a session end that waits, the taskbar button's progress, a
// flash when a box needs the user, and the battery's charge before it starts.
// The calls sit behind PlatformCalls, so the order and values are checked
// against a fake (most of them are stubs under Wine).
#include <string>

#include "host/battery_rule.h"
#include "session/command_machine.h"

namespace pw {

enum class TaskbarProgress { none, normal, error };

class PlatformCalls {
 public:
  virtual void set_taskbar_state(TaskbarProgress state) noexcept = 0;
  virtual void set_taskbar_value(int percent) noexcept = 0;
  // true: the system and the display stay awake, for `reason` (UTF-16, shown
  // where Windows lists what keeps it awake), until called again with false.
  virtual void keep_awake(bool awake, const std::u16string& reason) noexcept = 0;
  // The reason shown when a log-off or shutdown waits for the window, in the
  // system's own encoding; empty: none.
  virtual void set_shutdown_reason(const std::u16string& reason) noexcept = 0;
  virtual bool window_in_foreground() noexcept = 0;
  virtual void flash_window() noexcept = 0;
  virtual PowerStatus power_status() noexcept = 0;

 protected:
  ~PlatformCalls() = default;
};

// Turns the session's events into platform calls. Host thread only. Whether a
// command runs is the command's table's (out of idle before command_started,
// back before command_ended); these only follow it.
class CommandPlatform {
 public:
  CommandPlatform(PlatformCalls& calls, const CommandMachine& table) noexcept : calls_(calls), table_(table) {}

  // `shutdown_reason` is UTF-8, as every text of the program; it is also why
  // the system stays awake.
  void command_started(const std::string& shutdown_reason) noexcept;
  void command_ended() noexcept;
  // The bar's position while a file goes out; the taskbar hears only changes.
  void progress(int percent) noexcept;
  // A transfer failed: the error state until the command ends.
  void transfer_failed() noexcept;
  // Every file has been handed to the device: the system may sleep and the
  // session end again while the final box waits; the taskbar shows it finished.
  void files_handed_over() noexcept;
  // A box is about to open.
  void box_opening() noexcept;
  // Whether the charge left is too low to start an update (battery_rule.h).
  bool battery_too_low() const noexcept { return battery_too_low_to_start(calls_.power_status()); }

 private:
  // The system may sleep and the session end again.
  void release() noexcept;

  PlatformCalls& calls_;
  const CommandMachine& table_;
  bool command_running() const noexcept { return table_.phase() != Phase::idle; }
  TaskbarProgress state_ = TaskbarProgress::none;
  int shown_percent_ = -1;
  bool handed_over_ = false;   // since the last file was handed to the device
  bool awake_ = false;         // the system is kept awake and the session end refused
};

}  // namespace pw
