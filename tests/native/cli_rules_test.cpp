#include "cli/cli_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pw::cli::Command;
using pw::cli::ControlAnswer;
using pw::cli::ControlEvent;

pw::cli::Parsed parse(const std::vector<std::string>& args) { return pw::cli::parse_arguments(args); }

TEST(CliArguments, UpdateTakesAnOptionalFolderAndJson) {
  const auto plain = parse({"update"});
  ASSERT_TRUE(plain.arguments);
  EXPECT_EQ(plain.arguments->command, Command::update);
  EXPECT_EQ(plain.arguments->folder, "");
  EXPECT_FALSE(plain.arguments->json);

  const auto json = parse({"--json", "update", "C:\\some folder"});
  ASSERT_TRUE(json.arguments);
  EXPECT_EQ(json.arguments->folder, "C:\\some folder");
  EXPECT_TRUE(json.arguments->json);
  const auto after = parse({"status", "--json"});
  ASSERT_TRUE(after.arguments);
  EXPECT_EQ(after.arguments->command, Command::status);
  EXPECT_TRUE(after.arguments->json);
  const auto keys = parse({"keys", "--json"});
  ASSERT_TRUE(keys.arguments);
  EXPECT_EQ(keys.arguments->command, Command::keys);
  EXPECT_TRUE(keys.arguments->json);
}

TEST(CliArguments, AnythingElseIsStatusOne) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"flash"}, {"update", "a", "b"}, {"status", "folder"}, {"keys", "folder"}, {"update", "--jsn"}, {"--json"}}) {
    const auto parsed = parse(args);
    EXPECT_FALSE(parsed.arguments) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(parsed.exit_status, pw::cli::kExitBadArguments);
    EXPECT_FALSE(parsed.output.empty());
  }
}

TEST(CliArguments, HelpListsEveryExitStatus) {
  const auto help = parse({"--help"});
  EXPECT_FALSE(help.arguments);
  EXPECT_EQ(help.exit_status, 0);
  for (int status : {0, 1, 2, 3, 4, 5, 6, 7, 9})
    EXPECT_NE(help.output.find("  " + std::to_string(status) + "  "), std::string::npos) << status;
  EXPECT_NE(help.output.find("keys"), std::string::npos);
}

TEST(CliExitStatus, FollowsWhyTheCommandEnded) {
  using pw::CommandResult;
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::completed), 0);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::not_linked), 2);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::wrong_device), 3);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::file_refused), 4);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::transfer_failed), 5);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::no_library), 7);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::folder_refused), 9);
}

TEST(CliJson, OneObjectPerEventWithItsFields) {
  EXPECT_EQ(pw::cli::json_linked(true), R"({"event":"linked","linked":true})");
  EXPECT_EQ(pw::cli::json_step("image.cam"), R"({"event":"step","file":"image.cam"})");
  EXPECT_EQ(pw::cli::json_progress("image.cam", 42), R"({"event":"progress","file":"image.cam","percent":42})");
  EXPECT_EQ(pw::cli::json_result("sound.cam", pw::FileOutcome::not_sent),
            R"({"event":"result","file":"sound.cam","outcome":"not_sent"})");
  EXPECT_EQ(pw::cli::json_end(4), R"({"event":"end","exit":4})");
  EXPECT_EQ(pw::cli::json_key("0e78"), R"({"event":"key","fingerprint":"0e78"})");
  // Quotes, backslashes, line ends and control bytes escaped; UTF-8 kept.
  EXPECT_EQ(pw::cli::json_message("a \"b\"\\\n\x01\xD0\x96", pw::MessageStyle::stop),
            "{\"event\":\"message\",\"text\":\"a \\\"b\\\"\\\\\\n\\u0001\xD0\x96\",\"style\":\"stop\"}");
}

TEST(CliProgressLine, RewritesOneLineOnAConsole) {
  pw::cli::ProgressLine line(true);
  EXPECT_EQ(line.update("firmware.cam", 1), "\rfirmware.cam 1%");
  EXPECT_EQ(line.update("firmware.cam", 1), "");
  EXPECT_EQ(line.update("firmware.cam", 2), "\rfirmware.cam 2%");
  EXPECT_EQ(line.finish(), "\n");
  EXPECT_EQ(line.finish(), "");
}

TEST(CliProgressLine, PrintsAtMostALinePerPercentWhenRedirected) {
  pw::cli::ProgressLine line(false);
  EXPECT_EQ(line.update("image.cam", 5), "image.cam 5%\n");
  EXPECT_EQ(line.update("image.cam", 5), "");
  EXPECT_EQ(line.update("sound.cam", 5), "sound.cam 5%\n");
  EXPECT_EQ(line.finish(), "");
}

TEST(CliConsoleControl, CtrlCAndBreakAreRefusedOnlyWhileACommandRuns) {
  EXPECT_EQ(pw::cli::answer_control(ControlEvent::ctrl_c, true), ControlAnswer::refused);
  EXPECT_EQ(pw::cli::answer_control(ControlEvent::ctrl_break, true), ControlAnswer::refused);
  EXPECT_EQ(pw::cli::answer_control(ControlEvent::close, true), ControlAnswer::cannot_refuse);
  EXPECT_EQ(pw::cli::answer_control(ControlEvent::shutdown, true), ControlAnswer::cannot_refuse);
  EXPECT_EQ(pw::cli::answer_control(ControlEvent::ctrl_c, false), ControlAnswer::end_now);
  EXPECT_EQ(pw::cli::answer_control(ControlEvent::close, false), ControlAnswer::end_now);
}

}  // namespace
