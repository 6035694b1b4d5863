#include "host/platform.h"

#include <new>

#include "lang/utf.h"

namespace pw {

void CommandPlatform::command_started(const std::string& shutdown_reason) noexcept {
  handed_over_ = false;
  std::u16string reason;
  bool converted = false;
  try {
    reason = utf8_to_utf16(shutdown_reason);
    converted = true;
  } catch (const std::bad_alloc&) {
    // Only a reason for the user: the system stays awake and the session end
    // is refused without it too.
  }
  calls_.keep_awake(true, reason);
  awake_ = true;
  if (converted) calls_.set_shutdown_reason(reason);
}

void CommandPlatform::command_ended() noexcept {
  if (state_ != TaskbarProgress::none) calls_.set_taskbar_state(TaskbarProgress::none);
  state_ = TaskbarProgress::none;
  shown_percent_ = -1;
  release();
}

void CommandPlatform::files_handed_over() noexcept {
  handed_over_ = true;
  if (state_ != TaskbarProgress::error) {
    if (state_ != TaskbarProgress::normal) calls_.set_taskbar_state(TaskbarProgress::normal);
    state_ = TaskbarProgress::normal;
    if (shown_percent_ != 100) calls_.set_taskbar_value(100);
    shown_percent_ = 100;
  }
  release();
}

void CommandPlatform::release() noexcept {
  if (!awake_) return;
  awake_ = false;
  calls_.set_shutdown_reason(std::u16string());
  calls_.keep_awake(false, std::u16string());
}

void CommandPlatform::progress(int percent) noexcept {
  if (!command_running() || handed_over_ || state_ == TaskbarProgress::error) return;
  if (state_ != TaskbarProgress::normal) {
    state_ = TaskbarProgress::normal;
    calls_.set_taskbar_state(TaskbarProgress::normal);
    shown_percent_ = -1;
  }
  if (percent == shown_percent_) return;
  shown_percent_ = percent;
  calls_.set_taskbar_value(percent);
}

void CommandPlatform::transfer_failed() noexcept {
  if (!command_running() || state_ == TaskbarProgress::error) return;
  state_ = TaskbarProgress::error;
  calls_.set_taskbar_state(TaskbarProgress::error);
}

void CommandPlatform::box_opening() noexcept {
  if (!calls_.window_in_foreground()) calls_.flash_window();
}

}  // namespace pw
