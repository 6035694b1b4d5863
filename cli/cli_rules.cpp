#include "cli/cli_rules.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace pw::cli {

namespace {

constexpr char kExitCodesHelp[] =
    "Exit status:\n"
    "  0  the update completed (status: the device is linked)\n"
    "  1  bad arguments, or FOLDER missing\n"
    "  2  the device is not linked (also unplugged during the identification, or unlinked when a file needs it)\n"
    "  3  the device did not identify as the right model\n"
    "  4  an update file was refused before anything of it was sent\n"
    "  5  a transfer failed, or started and the device was lost\n"
    "  6  another updater holds the device (status: one is running; nothing was probed)\n"
    "  7  the pipe library cannot be loaded\n"
    "  8  the computer runs on battery with a low charge (nothing was written; see update --allow-battery)\n"
    "  9  the update folder is not signed by a trusted key or does not match its list\n"
    " 10  the device driver did not answer: nothing of the file under way was sent (files before it went\n"
    "     out whole); unplug the device, plug it in again and start again\n"
    " 11  stopped as asked (the window closed, a WM_QUIT, a closing console) before the update completed;\n"
    "     no file was cut\n"
    "Ctrl+C before the command has begun, or while it reads the folder, ends the program as Windows\n"
    "does (0xC000013A); from the device's first byte on it is refused; after the command has ended\n"
    "its own status stands.\n";

}  // namespace

Parsed parse_arguments(const std::vector<std::string>& args) {
  CLI::App app{"pushwell-cli: updates the device from a folder, without a window"};
  app.footer(kExitCodesHelp);
  app.require_subcommand(1);
  Arguments parsed;
  app.add_flag("--json", parsed.json, "print one JSON object a line instead of text");
  CLI::App* update = app.add_subcommand("update", "send the update files of FOLDER (default: the current directory)");
  update->add_option("FOLDER", parsed.folder, "the folder that holds the update files");
  update->add_flag("--report", parsed.report, "print the run's details for support after everything else");
  update->add_flag("--allow-battery", parsed.allow_battery,
                   "start also when the computer runs on battery with a low charge");
  CLI::App* status = app.add_subcommand("status", "print whether the device is linked");
  CLI::App* keys = app.add_subcommand(
      "keys", "print the fingerprint of each key this build trusts to sign update folders, one a line");
  for (CLI::App* sub : {update, status, keys})
    sub->add_flag("--json", parsed.json, "print one JSON object a line instead of text");

  Parsed result;
  // Asked for anywhere, also where the arguments do not parse: a script reads every line as JSON.
  bool json = false;
  for (const std::string& arg : args) json = json || arg == "--json";
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const std::string help = app.help();
    result.output = json ? "{\"event\":\"help\",\"text\":" + json_string(help) + "}\n" + json_end(kExitCompleted) + "\n"
                         : help;
    result.exit_status = kExitCompleted;
    return result;
  } catch (const CLI::ParseError& e) {
    result.output = json ? json_error(e.what()) + "\n" + json_end(kExitBadArguments) + "\n"
                         : std::string(e.what()) + "\nRun with --help for more information.\n";
    result.exit_status = kExitBadArguments;
    return result;
  }
  parsed.command = status->parsed() ? Command::status : keys->parsed() ? Command::keys : Command::update;
  result.arguments = parsed;
  return result;
}

int exit_status_of(CommandResult result) {
  switch (result) {
    case CommandResult::completed: return kExitCompleted;
    case CommandResult::not_linked: return kExitNotLinked;
    case CommandResult::wrong_device: return kExitWrongDevice;
    case CommandResult::file_refused: return kExitFileRefused;
#ifdef PUSHWELL_MUTANT_FAILED_STATUS_ZERO  // a broken build the fault campaign must catch (tests only)
    case CommandResult::transfer_failed: return kExitCompleted;
#else
    case CommandResult::transfer_failed:
#endif
    case CommandResult::out_of_memory: return kExitTransferFailed;
    case CommandResult::driver_held:
    case CommandResult::driver_stuck: return kExitDriverNotAnswering;
    case CommandResult::stopped: return kExitStopped;
    case CommandResult::no_library: return kExitNoLibrary;
    case CommandResult::low_battery: return kExitOnBattery;
    case CommandResult::folder_refused: return kExitFolderRefused;
  }
  return kExitTransferFailed;
}

std::string json_string(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;  // UTF-8 passes as it is
        }
    }
  }
  return out + "\"";
}

std::string json_linked(bool linked) {
  return std::string("{\"event\":\"linked\",\"linked\":") + (linked ? "true" : "false") + "}";
}

std::string json_folder_check(const std::string& text) {
  return "{\"event\":\"folder\",\"text\":" + json_string(text) + "}";
}

std::string json_step(const std::string& file) { return "{\"event\":\"step\",\"file\":" + json_string(file) + "}"; }

std::string json_progress(const std::string& file, int percent) {
  return "{\"event\":\"progress\",\"file\":" + json_string(file) + ",\"percent\":" + std::to_string(percent) + "}";
}

std::string json_message(const std::string& text, MessageStyle style) {
  return "{\"event\":\"message\",\"text\":" + json_string(text) + ",\"style\":\"" + style_name(style) + "\"}";
}

std::string json_result(const std::string& file, FileOutcome outcome) {
  return "{\"event\":\"result\",\"file\":" + json_string(file) + ",\"outcome\":\"" + outcome_name(outcome) + "\"}";
}

std::string json_error(const std::string& text) { return "{\"event\":\"error\",\"text\":" + json_string(text) + "}"; }

std::string json_end(int exit_status) { return "{\"event\":\"end\",\"exit\":" + std::to_string(exit_status) + "}"; }

std::string json_key(const std::string& fingerprint) {
  return "{\"event\":\"key\",\"fingerprint\":" + json_string(fingerprint) + "}";
}

std::string json_details(const std::vector<std::string>& lines) {
  std::string json = "{\"event\":\"details\",\"lines\":[";
  for (std::size_t i = 0; i < lines.size(); ++i) json += (i ? "," : "") + json_string(lines[i]);
  return json + "]}";
}

std::string plain_message(const std::string& text, MessageStyle style) {
  const char* prefix = style == MessageStyle::stop ? "Error: " : style == MessageStyle::question ? "" : "Note: ";
  std::string line = prefix;
  for (const char c : text) line += c == '\n' ? ' ' : c;  // one line per message
  return line;
}

std::string plain_result(const std::string& file, FileOutcome outcome) {
  switch (outcome) {
    case FileOutcome::sent: break;
    case FileOutcome::not_sent: return file + ": not sent (its send flag is 0)";
    case FileOutcome::failed: return file + ": failed";
  }
  return file + ": sent";
}

std::string ProgressLine::update(const std::string& file, int percent) {
  if (file == file_ && percent == shown_) return std::string();
  file_ = file;
  shown_ = percent;
  const std::string text = file + " " + std::to_string(percent) + "%";
  if (!console_) return text + "\n";
  open_ = true;
  return "\r" + text;
}

std::string ProgressLine::finish() {
  if (!open_) return std::string();
  open_ = false;
  return "\n";
}

ControlAnswer answer_control(ControlEvent event, Phase phase, bool status_known) {
  if (!status_known && (phase == Phase::idle || phase == Phase::reading_folder)) return ControlAnswer::end_now;
  switch (event) {
    case ControlEvent::ctrl_c:
    case ControlEvent::ctrl_break: return status_known ? ControlAnswer::status_stands : ControlAnswer::refused;
    case ControlEvent::close:
    case ControlEvent::logoff:
    case ControlEvent::shutdown: break;
  }
  return ControlAnswer::cannot_refuse;
}

}  // namespace pw::cli
