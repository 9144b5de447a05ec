// Applying settings files under a rights mask: critical-settings refusals, pages
// outside the mask, change lines with the actor, the team-balance rule and the
// failures the start-up load relies on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/error.h"
#include "remote/sessions.h"
#include "settings/settings.h"
#include "settings_test_support.h"

namespace keldor {
namespace {

using testing::SettingsTest;
using testing::WriteFile;

constexpr std::int32_t kPage0 = 0x1;

TEST_F(SettingsTest, CriticalRowsAreRefusedOncePerRowWithoutTheRight) {
  Connections()[1] = Connection{101, "alice", "10.0.0.7:4000", kPage0, {}};
  Load(
      "game.serverName \"Renamed\"\ngame.serverDedicated 0\ngame.serverIP 10.1.2.3\n"
      "game.serverPort 2000\ngame.serverMaxPlayers 16\ngame.serverContentCheck 2\n"
      "game.setServerWelcomeMessage 0 \"hi\"\ngame.serverBandwidthChokeLimit 64\n"
      "manager.autoBan 1\n",
      kPage0, 1);
  EXPECT_EQ(CountLogged("SECURITY ALERT! User alice at 10.0.0.7:4000 is not permitted to change "
                        "critical settings!"),
            12);
  EXPECT_EQ(Row(Setting::ServerIP).current, 0);
  EXPECT_EQ(Row(Setting::ServerPort).current, 15567);
  EXPECT_EQ(Row(Setting::ServerMaxPlayers).current, 32);
  EXPECT_EQ(Row(Setting::ServerBandwidthChokeLimit).text, "0");
  EXPECT_EQ(Row(Setting::ServerName).text, "Renamed");
  EXPECT_EQ(Row(Setting::AutoBan).current, 0);  // page 2 is not in the mask: not read
  EXPECT_TRUE(Logged("User alice at 10.0.0.7:4000 changed game.serverName from [] to [Renamed]."));

  // With the critical-settings right the same rows are taken.
  Load("game.serverIP 10.1.2.3\ngame.serverPort 2000\n", kPage0 | kCriticalSettingsRight, 1);
  EXPECT_EQ(static_cast<std::uint32_t>(Row(Setting::ServerIP).current), 0x0A010203u);
  EXPECT_EQ(Row(Setting::ServerPort).current, 2000);
}

TEST_F(SettingsTest, ChangeLinesNameTheActorAndShowEachTypesValues) {
  Load(
      "game.serverIP 10.0.0.5\ngame.setServerWelcomeMessage 0 \"a_b\"\n"
      "admin.spawnDelayPenaltyForTK 2.5\nmanager.autoKickScoreValue -9\n",
      -1, 0);
  // The logger turns the CR LF of the message into spaces. Page 4 follows with the
  // rows this file lacks (the remote console switch goes off).
  for (const char* line :
       {"changed game.serverIP from 0.0.0.0 to 10.0.0.5.",
        "changed game.setServerWelcomeMessage from [] to [a b  ].",
        "changed admin.spawnDelayPenaltyForTK from 0.0 to 2.5.",
        "changed manager.autoKickScoreValue from 6 to 9.",
        "User operator at console changed admin.enableRemoteConsole from 1 to 0."}) {
    EXPECT_TRUE(Logged(line)) << line;
  }
  EXPECT_EQ(CountLogged("changed"), 5);
}

TEST_F(SettingsTest, RefusedUploadedValuesKeepWhatTheSettingHadAndLogNoChange) {
  Load("manager.autoKickPingValue 400\nadmin.voteMapMajority 0.75\ngame.serverName \"Mine\"\n");
  WriteFile(dir_ / "up.con",
            "manager.autoKickPingValue banana\nadmin.voteMapMajority 1.5\n"
            "game.serverMaxAllowedConnectionType modem\ngame.serverName \"\"\n"
            "manager.autoAnnouncePeriod 90\n");
  std::vector<std::string> refused;
  ASSERT_TRUE(ApplyUploadedSettings(dir_ / "up.con", -1, {"alice", "10.0.0.7:4000"}, &refused));
  EXPECT_EQ(refused,
            (std::vector<std::string>{"game.serverName", "game.serverMaxAllowedConnectionType",
                                      "admin.voteMapMajority", "manager.autoKickPingValue"}));
  EXPECT_EQ(Row(Setting::AutoKickPingValue).current, 400);
  EXPECT_EQ(Row(Setting::VoteMapMajority).current, 75);
  EXPECT_EQ(Row(Setting::ServerMaxAllowedConnectionType).text, "CTLanT1");
  EXPECT_EQ(Row(Setting::AutoAnnouncePeriod).current, 90);  // the good value beside them
  for (const char* line :
       {"Invalid value of banana detected for setting manager.autoKickPingValue, keeping 400.",
        "Invalid value of 1.50 detected for setting admin.voteMapMajority, keeping 0.75.",
        "Invalid value of modem detected for setting game.serverMaxAllowedConnectionType, "
        "keeping CTLanT1.",
        "Invalid value detected for setting game.serverName, keeping [Mine]."}) {
    EXPECT_TRUE(Logged(line)) << line << Log();
  }
  EXPECT_EQ(CountLogged(" changed "), 1) << Log();
  EXPECT_FALSE(Logged("using default")) << Log();
}

TEST_F(SettingsTest, CarriedConsoleTokensNeedTheRightsOfTheirRowsAndPasswordsAreNeverLogged) {
  Connections()[2] = Connection{102, "bob", "10.0.0.8:4000", 0x10, {}};
  Load("manager.consoleUsername \"u\"\nadmin.enableRemoteConsole rc rcpw 6100\n", 0x10, 2);
  EXPECT_EQ(Row(Setting::ConsoleUsername).text, "rc");
  EXPECT_EQ(Row(Setting::ConsolePassword).text, "rcpw");
  EXPECT_EQ(Row(Setting::ConsolePort).current, 5711);  // critical: bob may not
  const std::string bob = "User bob at 10.0.0.8:4000 changed ";
  EXPECT_TRUE(Logged(bob + "manager.consoleUsername from [u] to [rc]."));
  EXPECT_TRUE(Logged(bob + "manager.consolePassword."));
  // Once for the statistics path of page 4, once for the carried port.
  EXPECT_EQ(CountLogged("SECURITY ALERT! User bob at 10.0.0.8:4000 is not permitted"), 2);

  Load(
      "admin.enableRemoteAdmin adminpw\nadmin.enableRemoteConsole rc rcpw 6100\n"
      "game.serverPassword \"joinpw\"\ngame.serverReservedPassword \"respw\"\n",
      -1, 2);
  EXPECT_EQ(Row(Setting::ConsolePort).current, 6100);
  EXPECT_TRUE(Logged(bob + "manager.consolePort from 5711 to 6100."));
  // The remote admin line, read after the console line, carries a new password again.
  EXPECT_EQ(CountLogged(bob + "manager.consolePassword."), 2);
  EXPECT_TRUE(Logged(bob + "game.serverPassword.\r\n"));
  EXPECT_TRUE(Logged(bob + "game.serverReservedPassword.\r\n"));
  for (const char* secret : {"rcpw", "adminpw", "joinpw", "respw"}) {
    EXPECT_FALSE(Logged(secret)) << secret;
  }
}

TEST_F(SettingsTest, StatisticsPathNamesOnlyOurOwnCsvFilesInTheLogDirectory) {
  const std::string accounts = SettingsFile("useraccess.con");
  WriteFile(accounts, "admin,pw,,4294967295,1\n");
  WriteFile(dir_ / "foreign.csv", "");
  ASSERT_EQ(symlink(accounts.c_str(), (dir_ / "link.csv").c_str()), 0);
  ASSERT_EQ(link((dir_ / "foreign.csv").c_str(), (dir_ / "second.csv").c_str()), 0);
  ASSERT_EQ(mkdir((dir_ / "dir.csv").c_str(), 0755), 0);
  Load("manager.statFilePath \"stats.csv\"\n");
  ASSERT_EQ(Row(Setting::StatFilePath).text, "stats.csv");
  for (const std::string& refused :
       {accounts, std::string("settings/x.csv"), std::string("../x.csv"), std::string("link.csv"),
        std::string("second.csv"), std::string("dir.csv"), std::string("stats.txt"),
        std::string("adminlog.csv"), dir_ / "settings/../settings/x.csv"}) {
    const int alerts = CountLogged("SECURITY ALERT! The settings file sets manager.statFilePath");
    Load("manager.statFilePath \"" + refused + "\"\n");
    EXPECT_EQ(Row(Setting::StatFilePath).text, "stats.csv") << refused;
    EXPECT_EQ(CountLogged("SECURITY ALERT! The settings file sets manager.statFilePath"),
              alerts + 1)
        << refused;
  }
  // Only the critical-settings right may name the file at all.
  Connections()[1] = Connection{101, "alice", "10.0.0.7:4000", 0x10, {}};
  Load("manager.statFilePath \"other.csv\"\n", 0x10, 1);
  EXPECT_EQ(Row(Setting::StatFilePath).text, "stats.csv");
  Load("manager.statFilePath \"" + accounts + "\"\n", 0x10 | kCriticalSettingsRight, 1);
  EXPECT_TRUE(Logged("SECURITY ALERT! User alice at 10.0.0.7:4000 set manager.statFilePath to [" +
                     accounts + "], which is not a CSV file"));
  Load("manager.statFilePath \"" + dir_ / "Round.CSV" + "\"\n", 0x10 | kCriticalSettingsRight, 1);
  EXPECT_EQ(Row(Setting::StatFilePath).text, dir_ / "Round.CSV");
  EXPECT_EQ(testing::ReadFile(accounts), "admin,pw,,4294967295,1\n");
}

TEST_F(SettingsTest, AutoBalanceGivesWayToSmartBalanceAfterTheChangeLines) {
  Row(Setting::ServerAutoBalanceTeams).current = 1;
  Load("manager.smartBalance 1\n", 0x8, 0);
  EXPECT_EQ(Row(Setting::ServerAutoBalanceTeams).current, 0);
  EXPECT_EQ(Row(Setting::SmartBalance).current, 1);
  EXPECT_TRUE(Logged("Both auto-balance and smart-balance are enabled, disabling auto-balance."));
  EXPECT_LT(Log().find("smartBalance from"), Log().find("Both auto-balance"));

  // Not on together from any caller, a page outside the mask included.
  Row(Setting::ServerAutoBalanceTeams).current = 1;
  Load("game.serverName \"x\"\n", 0x4, -1);
  EXPECT_EQ(Row(Setting::ServerAutoBalanceTeams).current, 0);
}

TEST_F(SettingsTest, MissingEmptyAndUnreadableFilesFailAndChangeNothing) {
  EXPECT_FALSE(ApplySettingsFile(dir_ / "absent.con", -1));
  EXPECT_EQ(ErrorCode(), ENOENT);
  EXPECT_TRUE(Logged("Couldn't open settings file! " + std::string(ErrorText(ENOENT))));
  // An empty file is not applied at all: rows it lacks keep their values.
  Row(Setting::SetServerWelcomeMessage).text = "kept";
  WriteFile(dir_ / "empty.con", "");
  ErrorCode() = 0;
  EXPECT_FALSE(ApplySettingsFile(dir_ / "empty.con", -1));
  EXPECT_EQ(ErrorCode(), ENOENT);
  EXPECT_EQ(Row(Setting::SetServerWelcomeMessage).text, "kept");
  ASSERT_EQ(mkdir((dir_ / "adir").c_str(), 0755), 0);
  EXPECT_FALSE(ApplySettingsFile(dir_ / "adir", -1));
  EXPECT_EQ(ErrorCode(), EISDIR);
}

}  // namespace
}  // namespace keldor
