// servermanager.con, serversettings.con and serverautoexec.con: the exact lines
// of every type, the round trip, and the parsing and validation of each type's
// values.
#include <gtest/gtest.h>

#include <random>

#include "core/error.h"
#include "core/helpers.h"
#include "runtime/options.h"
#include "settings/game_config.h"
#include "settings/settings.h"
#include "settings_test_support.h"

namespace keldor {
namespace {

using testing::kDefaultAutoexec;
using testing::kDefaultManagerFile;
using testing::ReadFile;
using testing::Replace;
using testing::SettingsTest;
using testing::WriteFile;

// serversettings.con holds the game.* lines of servermanager.con, without the
// content check and with the fixed spawn delay before the start delay.
std::string DefaultServerSettings() {
  std::istringstream manager(kDefaultManagerFile);
  std::string settings;
  for (std::string line; std::getline(manager, line);) {
    if (!line.starts_with("game.") || line.starts_with("game.serverContentCheck ")) continue;
    if (line.starts_with("game.serverGameStartDelay ")) settings += "game.serverSpawnDelay 5\n";
    settings += line + "\n";
  }
  return settings;
}

TEST_F(SettingsTest, EachFileHoldsTheResetTableAndEveryTypeExactly) {
  ASSERT_TRUE(SaveSettingsFile(Path("cfg/servermanager.con"), -1));
  ASSERT_TRUE(WriteServerSettings(Path("cfg/serversettings.con")));
  ASSERT_TRUE(WriteServerAutoexec(Path("cfg/serverautoexec.con")));
  EXPECT_EQ(ReadFile(Path("cfg/servermanager.con")), kDefaultManagerFile);
  EXPECT_EQ(ReadFile(Path("cfg/serversettings.con")), DefaultServerSettings());
  EXPECT_EQ(ReadFile(Path("cfg/serverautoexec.con")), kDefaultAutoexec);

  Row(Setting::ServerName).text = "My Server";
  Row(Setting::ServerDedicated).current = 0;
  Row(Setting::ServerIP).current = static_cast<std::int32_t>(0x0A000005);
  Row(Setting::BindAllIntefaces).current = 1;
  Row(Setting::SetServerWelcomeMessage).text = "Hello world\r\n\r\nHave fun\r\n";
  Row(Setting::ServerBandwidthChokeLimit).text = "128";
  Row(Setting::ServerContentCheck).current = 2;
  Row(Setting::ServerNumberOfRounds).current = 0;
  Row(Setting::ServerGameTime).current = 20;
  Row(Setting::ServerTicketRatio).current = 250;
  Row(Setting::Gravity).current = 1;
  Row(Setting::PhysicsGravity).current = 9;
  Row(Setting::ServerSoldierFriendlyFire).current = 75;
  Row(Setting::ServerKickback).current = 125;
  Row(Setting::SpawnDelayPenaltyForTK).current = 25;
  Row(Setting::AutoKickScoreValue).current = 25;
  Row(Setting::ServerCrosshairCenterpoint).current = 0;
  Row(Setting::ConsoleUsername).text = "admin";
  Row(Setting::ConsolePassword).text = "s3cret";
  Row(Setting::ConsolePort).current = 4711;
  Row(Setting::EnableRemoteAdmin).current = 1;
  Row(Setting::ToggleGamePause).current = 1;
  Opts().serverCmds = "game.gameSpyPort 23001\ngame.custom a b\n";
  ASSERT_TRUE(SaveSettingsFile(Path("servermanager.con"), -1));
  ASSERT_TRUE(WriteServerSettings(Path("serversettings.con")));
  ASSERT_TRUE(WriteServerAutoexec(Path("serverautoexec.con")));
  // The welcome message's empty line is left out, the line numbers run on.
  const std::pair<std::string, std::string> welcome = {
      "game.serverInternet 0\n",
      "game.setServerWelcomeMessage 0 \"Hello_world\"\ngame.setServerWelcomeMessage 1 "
      "\"Have_fun\"\ngame.serverInternet 0\n"};
  EXPECT_EQ(
      ReadFile(Path("servermanager.con")),
      Replace(kDefaultManagerFile,
              {{"game.serverName \"\"", "game.serverName \"My Server\""},
               {"game.serverDedicated 1", "game.serverDedicated 0"},
               {"game.serverIP 0.0.0.0", "game.serverIP 10.0.0.5"},
               {"manager.bindAllIntefaces 0", "manager.bindAllIntefaces 1"},
               {"manager.consolePort 5711", "manager.consolePort 4711"},
               welcome,
               {"ChokeLimit 0", "ChokeLimit 128"},
               {"game.serverContentCheck 0", "game.serverContentCheck 2"},
               {"game.serverNumberOfRounds 3", "game.serverNumberOfRounds 0"},
               {"game.serverGameTime 0", "game.serverGameTime 20"},
               {"game.serverTicketRatio 100", "game.serverTicketRatio 250"},
               {"manager.gravity 0\nphysics.gravity -4", "manager.gravity 1\nphysics.gravity -9"},
               {"game.serverSoldierFriendlyFire 100", "game.serverSoldierFriendlyFire 75"},
               {"game.serverKickback 0.00", "game.serverKickback 1.25"},
               {"ForTK 0.0", "ForTK 2.5"},
               {"manager.autoKickScoreValue -6", "manager.autoKickScoreValue -25"},
               {"Centerpoint 1", "Centerpoint 0"},
               {"manager.consoleUsername \"\"", "manager.consoleUsername \"admin\""},
               {"manager.consolePassword \"\"", "manager.consolePassword \"s3cret\""},
               {"admin.enableRemoteConsole   5711\n",
                "admin.enableRemoteConsole admin s3cret 4711\nadmin.enableRemoteAdmin s3cret\n"},
               {"manager.highPingWarnings 0\n",
                "manager.highPingWarnings 0\nadmin.toggleGamePause\n"}}));
  // The address is 0.0.0.0 in the game's file when every interface is bound.
  EXPECT_EQ(ReadFile(Path("serversettings.con")),
            Replace(DefaultServerSettings(),
                    {{"game.serverName \"\"", "game.serverName \"My Server\""},
                     {"game.serverDedicated 1", "game.serverDedicated 0"},
                     welcome,
                     {"ChokeLimit 0", "ChokeLimit 128"},
                     {"game.serverNumberOfRounds 3", "game.serverNumberOfRounds 0"},
                     {"game.serverGameTime 0", "game.serverGameTime 20"},
                     {"game.serverTicketRatio 100", "game.serverTicketRatio 250"},
                     {"game.serverSoldierFriendlyFire 100", "game.serverSoldierFriendlyFire 75"},
                     {"game.serverKickback 0.00", "game.serverKickback 1.25"},
                     {"Centerpoint 1", "Centerpoint 0"}}) +
                "game.gameSpyPort 23001\ngame.custom a b\n");
  EXPECT_EQ(static_cast<std::uint32_t>(Row(Setting::ServerIP).current), 0x0A000005u);
  EXPECT_EQ(ReadFile(Path("serverautoexec.con")),
            Replace(kDefaultAutoexec,
                    {{"admin.bandwidthChokeLimit 0", "admin.bandwidthChokeLimit 128"},
                     {"admin.setNrOfRounds 3", "admin.setNrOfRounds -1"},
                     {"admin.timeLimit 0", "admin.timeLimit 1200"},
                     {"admin.setTicketRatio 1.00", "admin.setTicketRatio 2.50"},
                     {"admin.timeBeforeRestartMap 10\n",
                      "physics.gravity -9\nadmin.timeBeforeRestartMap 10\n"},
                     {"admin.soldierFFRatio 1.00", "admin.soldierFFRatio 0.75"},
                     {"admin.kickback 0.00", "admin.kickback 1.25"},
                     {"ForTK 0.0", "ForTK 2.5"},
                     {"admin.enableRemoteConsole   5711\n",
                      "admin.enableRemoteConsole admin s3cret 4711\nadmin.enableRemoteAdmin "
                      "s3cret\nadmin.toggleGamePause\n"}}));
}

TEST_F(SettingsTest, PageMaskWritesThosePagesInTableOrderAndFailuresAreReported) {
  ASSERT_TRUE(SaveSettingsFile(Path("partial.con"), 0x8 | 0x2));
  const std::string file = ReadFile(Path("partial.con"));
  EXPECT_TRUE(file.starts_with("game.serverPassword \"\"\n"));
  EXPECT_NE(file.find("admin.timeBeforeRestartMap 10\nadmin.enableKickPlayerVote 1\n"),
            std::string::npos);
  for (const char* absent : {"game.serverName \"", "FriendlyFire", "manager.consoleUsername"}) {
    EXPECT_EQ(file.find(absent), std::string::npos) << absent;
  }
  EXPECT_TRUE(file.ends_with("game.serverNameTagDistanceScope 300\n"));

  ASSERT_TRUE(SaveSettingsFile(Path("partial.con"), 0));
  EXPECT_EQ(ReadFile(Path("partial.con")), "");

  WriteFile(Path("plain"), "x");
  EXPECT_FALSE(SaveSettingsFile(Path("plain/servermanager.con"), -1));
  EXPECT_EQ(ErrorCode(), ENOTDIR);
  EXPECT_TRUE(TakeLog().at(0).starts_with("Couldn't open settings file! "));
}

// Any valid value of any row survives a save and a load, the hundredths and
// tenths included (their written text reads back to the same step). Loaded as at
// start-up, without an acting slot: no change lines.
TEST_F(SettingsTest, AnyValidTableSurvivesSaveAndLoad) {
  std::mt19937 random(20261206);
  SettingsRows& table = SettingsTable();
  for (int round = 0; round < 40; ++round) {
    for (SettingDef& def : table) {
      std::uniform_int_distribution<int> pick(def.minimum, std::max(def.minimum, def.maximum));
      switch (def.type) {
        case SettingType::kText:
          def.text = "t" + std::to_string(pick(random)) + (def.defaultValue == 0 ? " x y" : "");
          break;
        case SettingType::kMessage:
          def.text = "line one\r\nline two " + std::to_string(pick(random)) + "\r\n";
          break;
        case SettingType::kChoice:
          def.text = ListKeyAt(def.defaultText, 1 + static_cast<int>(random() % 4));
          break;
        case SettingType::kAddress:
          def.current = static_cast<std::int32_t>(random());
          break;
        case SettingType::kPresence:
        case SettingType::kRemoteConsole:
        case SettingType::kRemoteAdmin:
          def.current = static_cast<std::int32_t>(random() % 2);
          break;
        default:
          def.current = pick(random);
          break;
      }
    }
    // Credentials travel as single tokens on the remote console line.
    Row(Setting::ConsoleUsername).text = "user" + std::to_string(round);
    Row(Setting::ConsolePassword).text = "pw" + std::to_string(round);
    Row(Setting::ServerAutoBalanceTeams).current = 0;  // never on beside smart balance
    const SettingsRows saved = table;
    ASSERT_TRUE(SaveSettingsFile(Path("servermanager.con"), -1));
    ResetSettings();
    ASSERT_TRUE(ApplySettingsFile(Path("servermanager.con"), -1));
    for (int row = 0; row < kSettingCount; ++row) {
      const auto i = static_cast<std::size_t>(row);
      EXPECT_EQ(table[i].current, saved[i].current) << SettingName(row);
      EXPECT_EQ(table[i].text, saved[i].text) << SettingName(row);
    }
  }
  EXPECT_EQ(TakeLog(), std::vector<std::string>{});
  EXPECT_STREQ(SettingName(kSettingCount), "[bad index]");
  EXPECT_STREQ(SettingName(-1), "[bad index]");
}

TEST_F(SettingsTest, ScaledValuesReadToTheNearestStep) {
  Load(
      "admin.voteMapMajority 0.29\nadmin.voteKickPlayerMajority 0.01\n"
      "admin.spawnDelayPenaltyForTK 0.7\ngame.serverKickback 1.999\n");
  EXPECT_EQ(Row(Setting::VoteMapMajority).current, 29);
  EXPECT_EQ(Row(Setting::VoteKickPlayerMajority).current, 1);
  EXPECT_EQ(Row(Setting::SpawnDelayPenaltyForTK).current, 7);
  EXPECT_EQ(Row(Setting::ServerKickback).current, 200);
}

TEST_F(SettingsTest, InvalidValuesFallBackToTheDefaultWithTheirMessage) {
  Row(Setting::ServerDedicated).current = 0;
  Load(
      "game.serverDedicated\ngame.serverMaxPlayers 80\ngame.serverPort abc\n"
      "manager.autoKickScoreValue -30\nadmin.voteMapMajority 1.5\n"
      "admin.spawnDelayPenaltyForTK 12.5\ngame.serverBandwidthChokeLimit 8192 Kbps\n"
      "game.serverName \"\"\ngame.serverPassword\ngame.serverTKPunishMode 2\n"
      "manager.autoBanValue 99999999999999999999\n");
  EXPECT_EQ(Row(Setting::ServerDedicated).current, 1);
  EXPECT_EQ(Row(Setting::ServerMaxPlayers).current, 32);
  EXPECT_EQ(Row(Setting::ServerPort).current, 15567);
  EXPECT_EQ(Row(Setting::AutoKickScoreValue).current, 6);
  EXPECT_EQ(Row(Setting::VoteMapMajority).current, 60);
  EXPECT_EQ(Row(Setting::SpawnDelayPenaltyForTK).current, 0);
  EXPECT_EQ(Row(Setting::ServerBandwidthChokeLimit).text, "0");
  EXPECT_EQ(Row(Setting::ServerName).text, "BFSERVER");
  EXPECT_EQ(Row(Setting::ServerPassword).text, "");
  EXPECT_EQ(Row(Setting::AutoBanValue).current, 3);
  const std::vector<std::string> expected = {
      "Invalid value detected for setting game.serverName, using default BFSERVER.",
      "Invalid value of 0 detected for setting game.serverDedicated, using default 1.",
      "Invalid value of 0 detected for setting game.serverPort, using default 15567.",
      "Invalid value of 80 detected for setting game.serverMaxPlayers, using default 32.",
      "Invalid value of 8192 detected for setting game.serverBandwidthChokeLimit, using default 0.",
      "Invalid value of 2 detected for setting game.serverTKPunishMode, using default 0.",
      "Invalid value of 12.5 detected for setting admin.spawnDelayPenaltyForTK, using default 0.0.",
      "Invalid value of -30 detected for setting manager.autoKickScoreValue, using default -6.",
      "Invalid value of 2147483647 detected for setting manager.autoBanValue, using default 3.",
      "Invalid value of 1.50 detected for setting admin.voteMapMajority, using default 0.60.",
  };
  EXPECT_EQ(TakeLog(), expected);
}

TEST_F(SettingsTest, ParsesKeysLinesAndTokensAsTheFileGivesThem) {
  Load(
      "GAME.SERVERMAXPLAYERS 40\r\ngame.serverCoopCPU\t50\n"
      "  game.serverNameTagDistance 200 trailing\n# game.serverPort 2000\n"
      "physics.gravity 4\nmanager.gravity 1\ngame.serverName Unquoted name runs to the end\n"
      "game.serverPassword \"with space\" rest\n"
      "game.serverMaxAllowedConnectionType ctcable256kbps\ngame.serverIP 192.168.001.300\n"
      "admin.toggleGamePause whatever\ngame.serverMaxPlayers 50\n");
  EXPECT_EQ(Row(Setting::ServerMaxPlayers).current, 40);  // the first matching line wins
  EXPECT_EQ(Row(Setting::ServerCoopCPU).current, 100);    // a tab is part of the key
  EXPECT_EQ(Row(Setting::ServerNameTagDistance).current, 200);
  EXPECT_EQ(Row(Setting::ServerPort).current, 15567);
  EXPECT_EQ(Row(Setting::PhysicsGravity).current, 4);
  EXPECT_EQ(Row(Setting::ServerName).text, "Unquoted name runs to the end");
  EXPECT_EQ(Row(Setting::ServerPassword).text, "with space");
  EXPECT_EQ(Row(Setting::ServerMaxAllowedConnectionType).text, "ctcable256kbps");
  EXPECT_EQ(static_cast<std::uint32_t>(Row(Setting::ServerIP).current), 0xC0A80100u);
  EXPECT_EQ(Row(Setting::ToggleGamePause).current, 1);

  Load("physics.gravity -7\ngame.serverName \"" + std::string(40, 'n') + "\"\n");
  EXPECT_EQ(Row(Setting::PhysicsGravity).current, 7);
  EXPECT_EQ(Row(Setting::ServerName).text, std::string(32, 'n'));
  EXPECT_EQ(Row(Setting::ToggleGamePause).current, 0);  // absent: off

  // An overlong line is cut, and its tail is never read as a line of its own.
  Load("game.serverPassword \"" + std::string(1100, 'p') + " game.serverMaxPlayers 9\n" +
       "game.serverMaxPlayers 12\n");
  EXPECT_EQ(Row(Setting::ServerPassword).text, std::string(32, 'p'));
  EXPECT_EQ(Row(Setting::ServerMaxPlayers).current, 12);
  Load(std::string(1023, 'x') + "game.serverMaxPlayers 7\ngame.serverMaxPlayers 8\n");
  EXPECT_EQ(Row(Setting::ServerMaxPlayers).current, 8);
}

TEST_F(SettingsTest, MessageLinesAreNumberedJoinedAndKeptWithinTheirBuffer) {
  const std::string line = "game.setServerWelcomeMessage ";
  Load(line + "0 \"Hello_world\"\n" + line + "1 \"Have_fun\"\n" + line + "5 \"ignored\"\n" + line +
       "2\n" + line + "4 \"last\"\n");
  EXPECT_EQ(Row(Setting::SetServerWelcomeMessage).text, "Hello world\r\nHave fun\r\nlast");

  // A line 0 after other lines replaces them; line 0 is cut to 62, others to 63.
  const std::string long64(64, 'a');
  Load(line + "1 \"x\"\n" + line + "0 \"" + long64 + "\"\n" + line + "1 \"" + long64 + "\"\n");
  EXPECT_EQ(Row(Setting::SetServerWelcomeMessage).text,
            std::string(62, 'a') + "\r\n" + std::string(63, 'a') + "\r\n");

  // Repeated line numbers can never push the text past 324 characters.
  std::string repeated = line + "0 \"" + long64 + "\"\n";
  for (int i = 0; i < 10; ++i) repeated += line + "3 \"" + long64 + "\"\n";
  Load(repeated);
  EXPECT_EQ(Row(Setting::SetServerWelcomeMessage).text.size(), 64u + 4 * 65u);
  static_assert(64u + 4 * 65u == kSettingTextMax);
  Load("game.serverName x\n");  // no message lines: empty
  EXPECT_EQ(Row(Setting::SetServerWelcomeMessage).text, "");
}

TEST_F(SettingsTest, RemoteConsoleAndAdminLinesCarryTheCredentials) {
  const std::string own =
      "manager.consoleUsername \"own\"\nmanager.consolePassword \"ownpw\"\n"
      "manager.consolePort 6000\n";
  Load(own + "admin.enableRemoteConsole\n");
  EXPECT_EQ(Row(Setting::EnableRemoteConsole).current, 1);
  EXPECT_EQ(Row(Setting::ConsoleUsername).text, "own");
  EXPECT_EQ(Row(Setting::ConsolePassword).text, "ownpw");
  EXPECT_EQ(Row(Setting::ConsolePort).current, 6000);
  EXPECT_EQ(Row(Setting::EnableRemoteAdmin).current, 0);

  Load(own + "admin.enableRemoteConsole rc " + std::string(40, 'p') +
       " 7000\nadmin.enableRemoteAdmin adminpw\n");
  EXPECT_EQ(Row(Setting::ConsoleUsername).text, "rc");
  EXPECT_EQ(Row(Setting::ConsolePassword).text, "adminpw");
  EXPECT_EQ(Row(Setting::ConsolePort).current, 7000);
  EXPECT_EQ(Row(Setting::EnableRemoteAdmin).current, 1);

  Load("admin.enableRemoteConsole rc  pw2 7100\n");  // a hand-made line, read token by token
  EXPECT_EQ(Row(Setting::ConsolePassword).text, "pw2");
  EXPECT_EQ(Row(Setting::ConsolePort).current, 7100);
}

// The file written at a first start (empty credentials) must not turn the
// console port into the user name when it is read back.
TEST_F(SettingsTest, FreshFileKeepsTheConsoleCredentialsApart) {
  ASSERT_TRUE(SaveSettingsFile(Path("servermanager.con"), -1));
  ASSERT_TRUE(ApplySettingsFile(Path("servermanager.con"), -1));
  EXPECT_EQ(Row(Setting::ConsoleUsername).text, "User");
  EXPECT_EQ(Row(Setting::ConsolePassword).text, "Sentinel");
  EXPECT_EQ(Row(Setting::ConsolePort).current, 5711);
  EXPECT_EQ(Row(Setting::ServerName).text, "BFSERVER");
}

}  // namespace
}  // namespace keldor
