// Applying settings files under a rights mask: critical-settings refusals, pages
// outside the mask, change lines with the actor, the team-balance rule and the
// failures the start-up load relies on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/error.h"
#include "core/log.h"
#include "remote/sessions.h"
#include "settings/settings.h"
#include "settings_test_support.h"

namespace keldor {
namespace {

using testing::SettingsTest;
using testing::WriteFile;

constexpr std::int32_t kPage0 = 0x1;
constexpr std::int32_t kPage2 = 0x4;
constexpr std::int32_t kPage4 = 0x10;

TEST_F(SettingsTest, CriticalRowsAreRefusedOncePerRowWithoutTheRight) {
  ClientSlots()[1] = ClientSlot{101, "alice", "10.0.0.7:4000", kPage0, ""};
  Load(
      "game.serverName \"Renamed\"\n"
      "game.serverDedicated 0\n"
      "game.serverIP 10.1.2.3\n"
      "game.serverPort 2000\n"
      "game.serverMaxPlayers 16\n"
      "game.serverContentCheck 2\n"
      "game.setServerWelcomeMessage 0 \"hi\"\n"
      "game.serverBandwidthChokeLimit 64\n"
      "manager.autoBan 1\n",
      kPage0, 1);
  const std::vector<std::string> log = TakeLog();
  const std::string alert =
      "SECURITY ALERT! User alice at 10.0.0.7:4000 is not permitted to change critical settings!";
  EXPECT_EQ(std::count(log.begin(), log.end(), alert), 12);
  EXPECT_EQ(Row(Setting::ServerIP).current, 0);
  EXPECT_EQ(Row(Setting::ServerPort).current, 15567);
  EXPECT_EQ(Row(Setting::ServerMaxPlayers).current, 32);
  EXPECT_EQ(Row(Setting::ServerBandwidthChokeLimit).text, "0");
  EXPECT_EQ(Row(Setting::ServerName).text, "Renamed");
  EXPECT_EQ(Row(Setting::ServerDedicated).current, 0);
  EXPECT_EQ(Row(Setting::ServerContentCheck).current, 2);
  EXPECT_EQ(Row(Setting::SetServerWelcomeMessage).text, "hi\r\n");
  EXPECT_EQ(Row(Setting::AutoBan).current, 0);  // page 2 is not in the mask: not read
  EXPECT_EQ(log.size(), 12u + 4u);              // the alerts and four change lines
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "User alice at 10.0.0.7:4000 changed game.serverContentCheck from 0 to 2."),
            1);

  // With the critical-settings right the same rows are taken.
  Load("game.serverIP 10.1.2.3\ngame.serverPort 2000\n", kPage0 | kCriticalSettingsRight, 1);
  EXPECT_EQ(static_cast<std::uint32_t>(Row(Setting::ServerIP).current), 0x0A010203u);
  EXPECT_EQ(Row(Setting::ServerPort).current, 2000);
}

TEST_F(SettingsTest, ChangeLinesNameTheActorAndShowEachTypesValues) {
  Row(Setting::ServerName).text = "Old";
  Load(
      "game.serverName \"New Name\"\n"
      "game.serverIP 10.0.0.5\n"
      "game.setServerWelcomeMessage 0 \"a_b\"\n"
      "game.serverMaxAllowedConnectionType CTModem56Kbps\n"
      "game.serverPort 15567\n"
      "admin.spawnDelayPenaltyForTK 2.5\n"
      "game.serverKickback 0.75\n"
      "manager.autoKickScoreValue -9\n"
      "manager.autoBan 1\n",
      -1, 0);
  // The logger turns the CR LF of the message into spaces. Page 4 follows with the
  // rows this file lacks (the remote console switch goes off).
  const std::vector<std::string> expected = {
      "User operator at console changed game.serverName from [Old] to [New Name].",
      "User operator at console changed game.serverIP from 0.0.0.0 to 10.0.0.5.",
      "User operator at console changed game.setServerWelcomeMessage from [] to [a b  ].",
      "User operator at console changed game.serverMaxAllowedConnectionType from [CTLanT1] to "
      "[CTModem56Kbps].",
      "User operator at console changed game.serverKickback from 0 to 75.",
      "User operator at console changed admin.spawnDelayPenaltyForTK from 0.0 to 2.5.",
      "User operator at console changed manager.autoKickScoreValue from 6 to 9.",
      "User operator at console changed manager.autoBan from 0 to 1.",
      "User operator at console changed admin.enableRemoteConsole from 1 to 0.",
  };
  EXPECT_EQ(TakeLog(), expected);
}

TEST_F(SettingsTest, RemoteConsoleTokensReachCriticalPortWithoutTheirOwnChangeLines) {
  ClientSlots()[2] = ClientSlot{102, "bob", "10.0.0.8:4000", kPage4, ""};
  Load(
      "manager.consoleUsername \"u\"\nmanager.consolePassword \"p\"\nmanager.statFilePath \"f\"\n"
      "admin.enableRemoteConsole rc rcpw 6100\n",
      kPage4, 2);
  EXPECT_EQ(Row(Setting::ConsoleUsername).text, "rc");
  EXPECT_EQ(Row(Setting::ConsolePassword).text, "rcpw");
  EXPECT_EQ(Row(Setting::ConsolePort).current, 6100);
  const std::vector<std::string> log = TakeLog();
  for (const std::string& line : log) {
    EXPECT_EQ(line.find("consolePort"), std::string::npos) << line;
    EXPECT_EQ(line.find("[rc]"), std::string::npos) << line;
  }
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "User bob at 10.0.0.8:4000 changed manager.consoleUsername from [] to [u]."),
            1);
}

TEST_F(SettingsTest, AutoBalanceGivesWayToSmartBalanceAfterTheChangeLines) {
  Row(Setting::ServerAutoBalanceTeams).current = 1;
  Load("manager.smartBalance 1\n", 0x8, 0);
  EXPECT_EQ(Row(Setting::ServerAutoBalanceTeams).current, 0);
  EXPECT_EQ(Row(Setting::SmartBalance).current, 1);
  const std::vector<std::string> expected = {
      "User operator at console changed manager.smartBalance from 0 to 1.",
      "Both auto-balance and smart-balance are enabled, disabling auto-balance.",
  };
  EXPECT_EQ(TakeLog(), expected);

  // Not on together from any caller, a page outside the mask included.
  Row(Setting::ServerAutoBalanceTeams).current = 1;
  Load("game.serverName \"x\"\n", kPage2, -1);
  EXPECT_EQ(Row(Setting::ServerAutoBalanceTeams).current, 0);
}

TEST_F(SettingsTest, MissingEmptyAndUnreadableFilesFailAndChangeNothing) {
  ErrorCode() = 0;
  EXPECT_FALSE(ApplySettingsFile(Path("absent.con"), -1));
  EXPECT_EQ(ErrorCode(), ENOENT);
  EXPECT_EQ(TakeLog(), std::vector<std::string>{"Couldn't open settings file! " +
                                                std::string(ErrorText(ENOENT))});
  // An empty file is not applied at all: rows it lacks keep their values.
  Row(Setting::SetServerWelcomeMessage).text = "kept";
  WriteFile(Path("empty.con"), "");
  ErrorCode() = 0;
  EXPECT_FALSE(ApplySettingsFile(Path("empty.con"), -1));
  EXPECT_EQ(ErrorCode(), ENOENT);
  EXPECT_EQ(TakeLog(), std::vector<std::string>{});
  EXPECT_EQ(Row(Setting::SetServerWelcomeMessage).text, "kept");

  ASSERT_EQ(mkdir(Path("adir").c_str(), 0755), 0);
  EXPECT_FALSE(ApplySettingsFile(Path("adir"), -1));
  EXPECT_EQ(ErrorCode(), EISDIR);
  EXPECT_EQ(TakeLog().size(), 1u);
}

}  // namespace
}  // namespace keldor
