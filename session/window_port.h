#pragma once
// The window operations the device and update code need. The main dialog
// implements them; tests fake them. No windows.h here.
#include <string>

namespace pw {

class WindowPort {
 public:
  // Safe from the transfer worker's thread too: each reaches the window as a
  // synchronous message, so the window thread must be serving messages.
  // set_text converts the text, so it may throw std::bad_alloc.
  virtual void set_text(int control, const std::string& text) = 0;
  virtual void enable_control(int control, bool enable) noexcept = 0;
  virtual void set_progress(int position) noexcept = 0;

  // Window thread only.
  virtual void set_poll_period(unsigned period_ms) noexcept = 0;
  // One presence check `delay_ms` from now, apart from the periodic ones.
  virtual void schedule_presence_recheck(unsigned delay_ms) noexcept = 0;
  // A modal box with one of the application's styles (win/message_box.h);
  // returns the id of the button that closed it.
  virtual int show_box(const std::string& text, unsigned style) noexcept = 0;
  // The bar's range, position 0 and colours, as at start.
  virtual void reset_progress() noexcept = 0;
  // A transfer has failed; shown until the command ends.
  virtual void mark_transfer_failed() noexcept = 0;

 protected:
  ~WindowPort() = default;
};

}  // namespace pw
