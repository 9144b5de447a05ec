// serversettings.con and serverautoexec.con byte for byte, for the reset table
// and for a table with every type set.
#include <gtest/gtest.h>

#include <sstream>

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

// serversettings.con holds the game.* lines of servermanager.con, without the
// content check and with the fixed spawn delay before the start delay.
std::string DefaultServerSettings() {
  std::istringstream manager(kDefaultManagerFile);
  std::string settings;
  for (std::string line; std::getline(manager, line);) {
    if (line.rfind("game.", 0) != 0 || line.rfind("game.serverContentCheck ", 0) == 0) continue;
    if (line.rfind("game.serverGameStartDelay ", 0) == 0) settings += "game.serverSpawnDelay 5\n";
    settings += line + "\n";
  }
  return settings;
}

TEST_F(SettingsTest, GameFilesForTheResetTable) {
  ASSERT_TRUE(WriteServerSettings(Path("cfg/serversettings.con")));
  ASSERT_TRUE(WriteServerAutoexec(Path("cfg/serverautoexec.con")));
  EXPECT_EQ(ReadFile(Path("cfg/serversettings.con")), DefaultServerSettings());
  EXPECT_EQ(ReadFile(Path("cfg/serverautoexec.con")), kDefaultAutoexec);
}

TEST_F(SettingsTest, GameFilesForATableWithEveryTypeSet) {
  Row(Setting::ServerName).text = "My Server";
  Row(Setting::ServerIP).current = static_cast<std::int32_t>(0x0A000005);
  Row(Setting::BindAllIntefaces).current = 1;
  Row(Setting::SetServerWelcomeMessage).text = "Hello world\r\nHave fun\r\n";
  Row(Setting::ServerBandwidthChokeLimit).text = "128";
  Row(Setting::ServerContentCheck).current = 2;
  Row(Setting::ServerNumberOfRounds).current = 0;
  Row(Setting::ServerGameTime).current = 20;
  Row(Setting::ServerTicketRatio).current = 250;
  Row(Setting::Gravity).current = 1;
  Row(Setting::ServerSoldierFriendlyFire).current = 75;
  Row(Setting::ServerKickback).current = 125;
  Row(Setting::SpawnDelayPenaltyForTK).current = 15;
  Row(Setting::ServerCrosshairCenterpoint).current = 0;
  Row(Setting::ConsoleUsername).text = "rcuser";
  Row(Setting::ConsolePassword).text = "rcpass";
  Row(Setting::EnableRemoteAdmin).current = 1;
  Row(Setting::ToggleGamePause).current = 1;
  Opts().serverCmds = "game.gameSpyPort 23001\ngame.custom a b\n";
  ASSERT_TRUE(WriteServerSettings(Path("serversettings.con")));
  ASSERT_TRUE(WriteServerAutoexec(Path("serverautoexec.con")));

  std::string settings = DefaultServerSettings();
  settings = Replace(settings, "game.serverName \"\"", "game.serverName \"My Server\"");
  settings = Replace(settings, "game.serverInternet 0\n",
                     "game.setServerWelcomeMessage 0 \"Hello_world\"\n"
                     "game.setServerWelcomeMessage 1 \"Have_fun\"\n"
                     "game.serverInternet 0\n");
  settings = Replace(settings, "ChokeLimit 0", "ChokeLimit 128");
  settings = Replace(settings, "game.serverNumberOfRounds 3", "game.serverNumberOfRounds 0");
  settings = Replace(settings, "game.serverGameTime 0", "game.serverGameTime 20");
  settings = Replace(settings, "game.serverTicketRatio 100", "game.serverTicketRatio 250");
  settings =
      Replace(settings, "game.serverSoldierFriendlyFire 100", "game.serverSoldierFriendlyFire 75");
  settings = Replace(settings, "game.serverKickback 0.00", "game.serverKickback 1.25");
  settings =
      Replace(settings, "game.serverCrosshairCenterpoint 1", "game.serverCrosshairCenterpoint 0");
  settings += "game.gameSpyPort 23001\ngame.custom a b\n";
  EXPECT_EQ(ReadFile(Path("serversettings.con")), settings);
  // The address is 0.0.0.0 only in the file.
  EXPECT_EQ(static_cast<std::uint32_t>(Row(Setting::ServerIP).current), 0x0A000005u);

  std::string autoexec = kDefaultAutoexec;
  autoexec = Replace(autoexec, "admin.bandwidthChokeLimit 0", "admin.bandwidthChokeLimit 128");
  autoexec = Replace(autoexec, "admin.setNrOfRounds 3", "admin.setNrOfRounds -1");
  autoexec = Replace(autoexec, "admin.timeLimit 0", "admin.timeLimit 1200");
  autoexec = Replace(autoexec, "admin.setTicketRatio 1.00", "admin.setTicketRatio 2.50");
  autoexec = Replace(autoexec, "admin.timeBeforeRestartMap 10\n",
                     "physics.gravity -4\nadmin.timeBeforeRestartMap 10\n");
  autoexec = Replace(autoexec, "admin.soldierFFRatio 1.00", "admin.soldierFFRatio 0.75");
  autoexec = Replace(autoexec, "admin.kickback 0.00", "admin.kickback 1.25");
  autoexec = Replace(autoexec, "ForTK 0.0", "ForTK 1.5");
  autoexec = Replace(autoexec, "admin.enableRemoteConsole   5711\n",
                     "admin.enableRemoteConsole rcuser rcpass 5711\n"
                     "admin.enableRemoteAdmin rcpass\n"
                     "admin.toggleGamePause\n");
  EXPECT_EQ(ReadFile(Path("serverautoexec.con")), autoexec);
}

}  // namespace
}  // namespace keldor
