#include "host/platform_frontend.h"

#include "win/guard.h"

namespace pw {

void PlatformFrontend::command_begins() noexcept {
  std::string reason;
  if (ran_out_of_memory([&] { reason = shutdown_reason_(); })) reason.clear();
  platform_.command_started(reason);
  ForwardingFrontend::command_begins();
}

void PlatformFrontend::file_progress(std::size_t file, int percent) noexcept {
  platform_.progress(percent);
  ForwardingFrontend::file_progress(file, percent);
}

void PlatformFrontend::file_result(std::size_t file, FileOutcome outcome, std::uint32_t bytes_sent) noexcept {
  if (outcome == FileOutcome::failed) platform_.transfer_failed();
  ForwardingFrontend::file_result(file, outcome, bytes_sent);
}

bool PlatformFrontend::message(const std::string& text, MessageStyle style) noexcept {
  platform_.box_opening();
  return ForwardingFrontend::message(text, style);
}

bool PlatformFrontend::device_lost(const std::string& question) noexcept {
  platform_.box_opening();
  return ForwardingFrontend::device_lost(question);
}

void PlatformFrontend::files_handed_over() noexcept {
  platform_.files_handed_over();
  ForwardingFrontend::files_handed_over();
}

void PlatformFrontend::command_ended(CommandEnd end, CommandResult result) noexcept {
  platform_.command_ended();
  ForwardingFrontend::command_ended(end, result);
}

}  // namespace pw
