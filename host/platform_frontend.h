#pragma once
// The platform's calls that follow the workflow's events (the power request, the
// session end's reason, the taskbar, the flash of a box behind other windows),
// made as each event passes on its way to the front end: one link of the chain
// the host builds (record, then this, then the front end). Pure.
#include <string>

#include "host/forwarding_frontend.h"
#include "host/platform.h"

namespace pw {

class PlatformFrontend final : public ForwardingFrontend {
 public:
  // `shutdown_reason` gives the text why the system stays awake (UTF-8); it may
  // throw std::bad_alloc, and the calls are then made without it.
  PlatformFrontend(CommandPlatform& platform, std::string (*shutdown_reason)()) noexcept
      : platform_(platform), shutdown_reason_(shutdown_reason) {}

  void command_begins() noexcept override;
  void file_progress(std::size_t file, int percent) noexcept override;
  void file_result(std::size_t file, FileOutcome outcome, std::uint32_t bytes_sent) noexcept override;
  bool message(const std::string& text, MessageStyle style) noexcept override;
  bool device_lost(const std::string& question) noexcept override;
  void files_handed_over() noexcept override;
  void command_ended(CommandEnd end, CommandResult result) noexcept override;

 private:
  CommandPlatform& platform_;
  std::string (*shutdown_reason_)();
};

}  // namespace pw
