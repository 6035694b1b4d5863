#include "cli/cli_rules.h"

#include <gtest/gtest.h>

#include <algorithm>

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
  EXPECT_FALSE(plain.arguments->allow_battery);

  const auto on_battery = parse({"update", "--allow-battery"});
  ASSERT_TRUE(on_battery.arguments);
  EXPECT_TRUE(on_battery.arguments->allow_battery);

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
           {}, {"flash"}, {"update", "a", "b"}, {"status", "folder"}, {"keys", "folder"}, {"update", "--jsn"}, {"--json"},
           {"status", "--allow-battery"}, {"--allow-battery", "update"}}) {
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
  for (int status = 0; status <= 9; ++status)
    EXPECT_NE(help.output.find("  " + std::to_string(status) + "  "), std::string::npos) << status;
  EXPECT_NE(parse({"update", "--help"}).output.find("  --allow-battery "), std::string::npos);
  EXPECT_NE(help.output.find("keys"), std::string::npos);
}

TEST(CliArguments, JsonAskedForKeepsHelpAndErrorsInJson) {
  const auto help = parse({"--json", "--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.output.rfind("{\"event\":\"help\",\"text\":\"", 0), 0u) << help.output;
  const auto error = parse({"update", "--jsn", "--json"});
  EXPECT_EQ(error.exit_status, 1);
  EXPECT_EQ(error.output.rfind("{\"event\":\"error\",\"text\":\"", 0), 0u) << error.output;
  for (const auto& parsed : {help, error}) {
    EXPECT_NE(parsed.output.find("\n{\"event\":\"end\",\"exit\":" + std::to_string(parsed.exit_status) + "}\n"),
              std::string::npos);
    // Every line one object: no raw line break inside the texts.
    EXPECT_EQ(std::count(parsed.output.begin(), parsed.output.end(), '\n'), 2) << parsed.output;
  }
}

TEST(CliExitStatus, FollowsWhyTheCommandEnded) {
  using pw::CommandResult;
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::completed), 0);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::not_linked), 2);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::wrong_device), 3);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::file_refused), 4);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::transfer_failed), 5);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::out_of_memory), 5);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::driver_held), 10) << "nothing of a file was sent";
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::driver_stuck), 10) << "a silent probe says what a silent open says";
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::stopped), 11);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::no_library), 7);
  EXPECT_EQ(pw::cli::exit_status_of(CommandResult::low_battery), 8);
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

TEST(CliConsoleControl, CtrlCAndBreakAreRefusedWhileACommandRunsAndLeaveItsStatusAfter) {
  using pw::Phase;
  struct Case {
    ControlEvent event;
    Phase phase;
    bool status_known;
    ControlAnswer answer;
  };
  const Case cases[] = {
      {ControlEvent::ctrl_c, Phase::identifying, false, ControlAnswer::refused},
      {ControlEvent::ctrl_break, Phase::sending, false, ControlAnswer::refused},
      {ControlEvent::ctrl_c, Phase::final_box, false, ControlAnswer::refused},
      {ControlEvent::close, Phase::opening, false, ControlAnswer::cannot_refuse},
      {ControlEvent::shutdown, Phase::sending, false, ControlAnswer::cannot_refuse},
      {ControlEvent::ctrl_c, Phase::idle, false, ControlAnswer::end_now},
      {ControlEvent::close, Phase::idle, false, ControlAnswer::end_now},
      // Nothing is written while the folder is read.
      {ControlEvent::ctrl_c, Phase::reading_folder, false, ControlAnswer::end_now},
      {ControlEvent::ctrl_c, Phase::idle, true, ControlAnswer::status_stands},
      {ControlEvent::ctrl_break, Phase::ending, true, ControlAnswer::status_stands},
      {ControlEvent::logoff, Phase::idle, true, ControlAnswer::cannot_refuse},
  };
  for (const Case& c : cases)
    EXPECT_EQ(pw::cli::answer_control(c.event, c.phase, c.status_known), c.answer)
        << pw::phase_name(c.phase) << (c.status_known ? ", status known" : "");
}

}  // namespace
