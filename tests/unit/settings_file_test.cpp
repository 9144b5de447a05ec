// servermanager.con, serversettings.con and serverautoexec.con: the exact lines
// of every type, the round trip, and the parsing and validation of the values.
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
  const auto writeAll = [this](const std::string& sub) {
    ASSERT_TRUE(SaveSettingsFile(dir_ / (sub + "servermanager.con"), -1));
    ASSERT_TRUE(WriteServerSettings(dir_ / (sub + "serversettings.con")));
    ASSERT_TRUE(WriteServerAutoexec(dir_ / (sub + "serverautoexec.con")));
  };
  writeAll("cfg/");
  EXPECT_EQ(ReadFile(dir_ / "cfg/servermanager.con"), kDefaultManagerFile);
  EXPECT_EQ(ReadFile(dir_ / "cfg/serversettings.con"), DefaultServerSettings());
  EXPECT_EQ(ReadFile(dir_ / "cfg/serverautoexec.con"), kDefaultAutoexec);

  // One row of each type and each unit the files convert.
  Row(Setting::ServerName).text = "My Server";
  Row(Setting::ServerIP).current = static_cast<std::int32_t>(0x0A000005);
  Row(Setting::BindAllIntefaces).current = 1;
  Row(Setting::SetServerWelcomeMessage).text = "Hello world\r\n\r\nHave fun\r\n";
  Row(Setting::ServerNumberOfRounds).current = 0;
  Row(Setting::ServerGameTime).current = 20;
  Row(Setting::ServerTicketRatio).current = 250;
  Row(Setting::Gravity).current = 1;
  Row(Setting::PhysicsGravity).current = 9;
  Row(Setting::SpawnDelayPenaltyForTK).current = 25;
  Row(Setting::AutoKickScoreValue).current = 25;
  Row(Setting::ConsoleUsername).text = "admin";
  Row(Setting::ConsolePassword).text = "s3cret";
  Row(Setting::ConsolePort).current = 4711;
  Row(Setting::EnableRemoteAdmin).current = 1;
  Row(Setting::ToggleGamePause).current = 1;
  Opts().serverCmds = "game.gameSpyPort 23001\ngame.custom a b\n";
  writeAll("");
  // The welcome message's empty line is left out, the line numbers run on.
  const std::pair<std::string, std::string> welcome = {
      "game.serverInternet 0\n",
      "game.setServerWelcomeMessage 0 \"Hello_world\"\ngame.setServerWelcomeMessage 1 "
      "\"Have_fun\"\ngame.serverInternet 0\n"};
  std::pair<std::string, std::string> remote = {
      "admin.enableRemoteConsole   5711\n",
      "admin.enableRemoteConsole admin s3cret 4711\nadmin.enableRemoteAdmin s3cret\n"};
  EXPECT_EQ(
      ReadFile(dir_ / "servermanager.con"),
      Replace(kDefaultManagerFile,
              {{"game.serverName \"\"", "game.serverName \"My Server\""},
               {"game.serverIP 0.0.0.0", "game.serverIP 10.0.0.5"},
               {"manager.bindAllIntefaces 0", "manager.bindAllIntefaces 1"},
               {"manager.consolePort 5711", "manager.consolePort 4711"},
               welcome,
               {"game.serverNumberOfRounds 3", "game.serverNumberOfRounds 0"},
               {"game.serverGameTime 0", "game.serverGameTime 20"},
               {"game.serverTicketRatio 100", "game.serverTicketRatio 250"},
               {"manager.gravity 0\nphysics.gravity -4", "manager.gravity 1\nphysics.gravity -9"},
               {"ForTK 0.0", "ForTK 2.5"},
               {"manager.autoKickScoreValue -6", "manager.autoKickScoreValue -25"},
               {"manager.consoleUsername \"\"", "manager.consoleUsername \"admin\""},
               {"manager.consolePassword \"\"", "manager.consolePassword \"s3cret\""},
               remote,
               {"manager.highPingWarnings 0\n",
                "manager.highPingWarnings 0\nadmin.toggleGamePause\n"}}));
  // The game's file holds the same lines, but 0.0.0.0 when every interface is
  // bound, and the commands of the command line at its end.
  const std::string game = ReadFile(dir_ / "serversettings.con");
  EXPECT_NE(game.find("\"Have_fun\"\ngame.serverInternet 0\n"), std::string::npos);
  EXPECT_NE(game.find("game.serverIP 0.0.0.0\n"), std::string::npos);
  EXPECT_TRUE(game.ends_with("game.gameSpyPort 23001\ngame.custom a b\n"));
  EXPECT_EQ(static_cast<std::uint32_t>(Row(Setting::ServerIP).current), 0x0A000005u);
  remote.second += "admin.toggleGamePause\n";
  EXPECT_EQ(ReadFile(dir_ / "serverautoexec.con"),
            Replace(kDefaultAutoexec, {{"admin.setNrOfRounds 3", "admin.setNrOfRounds -1"},
                                       {"admin.timeLimit 0", "admin.timeLimit 1200"},
                                       {"admin.setTicketRatio 1.00", "admin.setTicketRatio 2.50"},
                                       {"admin.timeBeforeRestartMap 10\n",
                                        "physics.gravity -9\nadmin.timeBeforeRestartMap 10\n"},
                                       {"ForTK 0.0", "ForTK 2.5"},
                                       remote}));
}

TEST_F(SettingsTest, PageMaskWritesThosePagesInTableOrderAndFailuresAreReported) {
  ASSERT_TRUE(SaveSettingsFile(dir_ / "partial.con", 0x8 | 0x2));
  const std::string file = ReadFile(dir_ / "partial.con");
  EXPECT_TRUE(file.starts_with("game.serverPassword \"\"\n"));
  EXPECT_NE(file.find("admin.timeBeforeRestartMap 10\nadmin.enableKickPlayerVote 1\n"),
            std::string::npos);
  EXPECT_EQ(file.find("FriendlyFire"), std::string::npos);
  EXPECT_TRUE(file.ends_with("game.serverNameTagDistanceScope 300\n"));

  WriteFile(dir_ / "plain", "x");
  EXPECT_FALSE(SaveSettingsFile(dir_ / "plain/servermanager.con", -1));
  EXPECT_EQ(ErrorCode(), ENOTDIR);
  EXPECT_TRUE(Logged("Couldn't open settings file! "));
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
    Row(Setting::StatFilePath).text =
        "round" + std::to_string(round) + ".csv";  // a file we may write
    const SettingsRows saved = table;
    ASSERT_TRUE(SaveSettingsFile(dir_ / "servermanager.con", -1));
    ResetSettings();
    ASSERT_TRUE(ApplySettingsFile(dir_ / "servermanager.con", -1));
    for (int row = 0; row < kSettingCount; ++row) {
      const auto i = static_cast<std::size_t>(row);
      EXPECT_EQ(table[i].current, saved[i].current) << SettingName(row);
      EXPECT_EQ(table[i].text, saved[i].text) << SettingName(row);
    }
  }
  EXPECT_EQ(Log(), "");
}

TEST_F(SettingsTest, InvalidValuesFallBackToTheDefaultWithTheirMessage) {
  Row(Setting::ServerDedicated).current = 0;
  Load(
      "game.serverDedicated\ngame.serverMaxPlayers 80\ngame.serverPort abc\n"
      "manager.autoKickScoreValue -30\nadmin.voteMapMajority 1.5\n"
      "admin.spawnDelayPenaltyForTK 12.5\ngame.serverBandwidthChokeLimit 8192 Kbps\n"
      "game.serverName \"\"\ngame.serverPassword\nmanager.autoBanValue 99999999999999999999\n"
      "manager.consolePassword \"\"\ngame.serverInternet yes\n");
  EXPECT_EQ(Row(Setting::ServerDedicated).current, 1);
  EXPECT_EQ(Row(Setting::VoteMapMajority).current, 60);
  EXPECT_EQ(Row(Setting::ServerBandwidthChokeLimit).text, "0");
  EXPECT_EQ(Row(Setting::ServerName).text, "BFSERVER");
  EXPECT_EQ(Row(Setting::ServerPassword).text, "");  // empty is valid here
  EXPECT_EQ(Row(Setting::AutoBanValue).current, 3);
  EXPECT_EQ(CountLogged(" detected for setting "), 11);
  for (const char* line :
       {"Invalid value detected for setting game.serverName, using default BFSERVER.",
        "Invalid value detected for setting manager.consolePassword, using default *.",
        "Invalid value of -30 detected for setting manager.autoKickScoreValue, using default -6.",
        "Invalid value of 2147483647 detected for setting manager.autoBanValue, using default 3.",
        "Invalid value of 1.50 detected for setting admin.voteMapMajority, using default 0.60.",
        // Text that is no number is quoted, not read as 0 (which a switch would take).
        "Invalid value of abc detected for setting game.serverPort, using default 15567.",
        "Invalid value of yes detected for setting game.serverInternet, using default 0."}) {
    EXPECT_TRUE(Logged(line)) << line;
  }
}

TEST_F(SettingsTest, ParsesKeysLinesAndTokensAsTheFileGivesThem) {
  Load(
      "GAME.SERVERMAXPLAYERS 40\r\ngame.serverCoopCPU\t50\n"
      "  game.serverNameTagDistance 200 trailing\n# game.serverPort 2000\n"
      "physics.gravity 4\nmanager.gravity 1\ngame.serverName Unquoted name runs to the end\n"
      "game.serverPassword \"with space\" rest\n"
      "game.serverMaxAllowedConnectionType ctcable256kbps\nadmin.toggleGamePause whatever\n"
      "admin.voteMapMajority 0.29\ngame.serverKickback 1.999\ngame.serverMaxPlayers 50\n");
  EXPECT_EQ(Row(Setting::ServerMaxPlayers).current, 40);  // the first matching line wins
  EXPECT_EQ(Row(Setting::ServerCoopCPU).current, 100);    // a tab is part of the key
  EXPECT_EQ(Row(Setting::ServerNameTagDistance).current, 200);
  EXPECT_EQ(Row(Setting::ServerPort).current, 15567);
  EXPECT_EQ(Row(Setting::PhysicsGravity).current, 4);
  EXPECT_EQ(Row(Setting::ServerName).text, "Unquoted name runs to the end");
  EXPECT_EQ(Row(Setting::ServerPassword).text, "with space");
  EXPECT_EQ(Row(Setting::ServerMaxAllowedConnectionType).text, "ctcable256kbps");
  EXPECT_EQ(Row(Setting::ToggleGamePause).current, 1);
  EXPECT_EQ(Row(Setting::VoteMapMajority).current, 29);  // to the nearest step
  EXPECT_EQ(Row(Setting::ServerKickback).current, 200);

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

  // Repeated line numbers can never push the text past its buffer.
  std::string repeated = line + "0 \"" + long64 + "\"\n";
  for (int i = 0; i < 10; ++i) repeated += line + "3 \"" + long64 + "\"\n";
  Load(repeated);
  EXPECT_EQ(Row(Setting::SetServerWelcomeMessage).text.size(), kSettingTextMax);
}

TEST_F(SettingsTest, RemoteConsoleAndAdminLinesCarryTheCredentials) {
  // The file written at a first start (empty credentials) must not turn the
  // console port into the user name when it is read back.
  ASSERT_TRUE(SaveSettingsFile(dir_ / "servermanager.con", -1));
  ASSERT_TRUE(ApplySettingsFile(dir_ / "servermanager.con", -1));
  EXPECT_EQ(Row(Setting::ConsoleUsername).text, "User");
  EXPECT_EQ(Row(Setting::ConsolePassword).text, "Sentinel");
  EXPECT_EQ(Row(Setting::ConsolePort).current, 5711);
  ResetSettings();

  const std::string own =
      "manager.consoleUsername \"own\"\nmanager.consolePassword \"ownpw\"\n"
      "manager.consolePort 6000\n";
  Load(own + "admin.enableRemoteConsole\n");
  EXPECT_EQ(Row(Setting::EnableRemoteConsole).current, 1);
  EXPECT_EQ(Row(Setting::ConsoleUsername).text + "/" + Row(Setting::ConsolePassword).text,
            "own/ownpw");
  EXPECT_EQ(Row(Setting::ConsolePort).current, 6000);
  EXPECT_EQ(Row(Setting::EnableRemoteAdmin).current, 0);

  // The line's tokens win, and the remote admin password over both.
  Load(own + "admin.enableRemoteConsole rc " + std::string(40, 'p') +
       " 7000\nadmin.enableRemoteAdmin adminpw\n");
  EXPECT_EQ(Row(Setting::ConsoleUsername).text + "/" + Row(Setting::ConsolePassword).text,
            "rc/adminpw");
  EXPECT_EQ(Row(Setting::ConsolePort).current, 7000);
  EXPECT_EQ(Row(Setting::EnableRemoteAdmin).current, 1);
  Load("admin.enableRemoteConsole rc  pw2 7100\n");  // hand-made: read token by token
  EXPECT_EQ(Row(Setting::ConsolePassword).text, "pw2");
}

}  // namespace
}  // namespace keldor
