#include "app/command_line.h"

#include <gtest/gtest.h>

#include "app/headless.h"
#include "platform/errors.h"

namespace vantrel::app {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLineTest, HeadlessForms) {
  struct Case {
    const char* label;
    Args args;
    THeadlessCommand command;
    bool debug;
    std::string login;
    Args stateargs;
  } cases[] = {
      {"check", {"--headless", "check"}, THeadlessCommand::Check, false, "", {"check"}},
      {"debug repair",
       {"--headless", "-debug", "repair"},
       THeadlessCommand::Repair,
       true,
       "",
       {"-debug", "repair"}},
      {"play",
       {"--headless", "play", "Player"},
       THeadlessCommand::Play,
       false,
       "Player",
       {"play", "Player"}},
      {"debug play",
       {"--headless", "-debug", "play", "p"},
       THeadlessCommand::Play,
       true,
       "p",
       {"-debug", "play", "p"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const TCommandLine cl = ParseCommandLine(c.args);
    EXPECT_EQ(cl.mode, TLaunchMode::Headless);
    EXPECT_EQ(cl.command, c.command);
    EXPECT_EQ(cl.debug, c.debug);
    EXPECT_EQ(cl.login, c.login);
    EXPECT_EQ(cl.stateargs, c.stateargs);
    EXPECT_EQ(cl.restartargs, c.args);  // a new launcher goes on with the same command
  }
}

TEST(CommandLineTest, HeadlessUsageErrors) {
  const Args cases[] = {
      {"--headless"},
      {"--headless", "-debug"},
      {"--headless", "install"},
      {"--headless", "play"},
      {"--headless", "play", " \t"},
      {"--headless", "play", "player", "secret"},
      {"--headless", "check", "-debug"},
      {"--headless", "-debug", "-debug", "check"},
  };
  for (const Args& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_THROW(ParseCommandLine(args), EUsageError);
  }
}

TEST(CommandLineTest, HelpAnywhereInAHeadlessCommand) {
  for (const Args& args : {Args{"--help"}, Args{"-h"}, Args{"--headless", "--help"},
                           Args{"--headless", "play", "-h"}}) {
    EXPECT_EQ(ParseCommandLine(args).mode, TLaunchMode::Help);
  }
  const std::string usage = UsageText("Launcher.exe");
  EXPECT_NE(usage.find("Launcher.exe --headless [-debug] play LOGIN"), std::string::npos);
}

TEST(CommandLineTest, WindowRules) {
  struct Case {
    const char* label;
    Args args;
    std::optional<std::string> gfxlayer;
  } cases[] = {
      {"none", {}, std::nullopt},
      {"number", {"3"}, "3"},
      {"not a number", {"abc"}, "abc"},  // converted (and refused) after start-up
      {"debug alone", {"-debug"}, std::nullopt},
      {"debug and number", {"-debug", "2"}, "2"},
      {"debug and word", {"-debug", "x"}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const TCommandLine cl = ParseCommandLine(c.args);
    EXPECT_EQ(cl.mode, TLaunchMode::Window);
    EXPECT_EQ(cl.gfxlayer, c.gfxlayer);
    EXPECT_EQ(cl.stateargs, c.args);
    EXPECT_TRUE(cl.restartargs.empty());
  }
  EXPECT_EQ(ParseGraphicsLayer("-1"), -1);
  EXPECT_EQ(ParseGraphicsLayer("+4"), 4);
  EXPECT_THROW(ParseGraphicsLayer("4x"), EConvertError);
  EXPECT_THROW(ParseGraphicsLayer(""), EConvertError);
}

TEST(CommandLineTest, OutcomeOfStatusKeys) {
  EXPECT_EQ(OutcomeOfStatus("ApplicationReady"), TOutcome::Ready);
  for (const char* key :
       {"VersionCheckError", "UpdateError", "RepairError", "ClientCorrupted", "LaunchError"}) {
    EXPECT_EQ(OutcomeOfStatus(key), TOutcome::Error) << key;
  }
  for (const char* key : {"LoadingStatus", "CheckingUpdate", "UpdateReady", "GameStarting",
                          "DownloadingAndUnpackingFiles", "ClientFSUninit"}) {
    EXPECT_EQ(OutcomeOfStatus(key), TOutcome::Working) << key;
  }
}

}  // namespace
}  // namespace vantrel::app
