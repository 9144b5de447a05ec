// Shared set-up for the settings tests: a fresh state, a temp directory that
// also receives keldor.log, and helpers to read and write whole files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/startup.h"
#include "remote/sessions.h"
#include "settings/settings.h"
#include "state_fixture.h"
#include "test_support.h"

namespace keldor::testing {

// The reset table as servermanager.con holds it.
inline const char* const kDefaultManagerFile =
    "game.serverName \"\"\n"
    "game.serverDedicated 1\n"
    "game.serverIP 0.0.0.0\n"
    "manager.bindAllIntefaces 0\n"
    "game.serverPort 15567\n"
    "manager.consolePort 5711\n"
    "game.gameSpyPort 23000\n"
    "game.gameSpyLANPort 22000\n"
    "game.ASEPort 15690\n"
    "game.serverMaxPlayers 32\n"
    "game.serverInternet 0\n"
    "game.serverBandwidthChokeLimit 0\n"
    "game.serverMaxAllowedConnectionType CTLanT1\n"
    "game.serverCoopCPU 100\n"
    "game.serverContentCheck 0\n"
    "game.serverPassword \"\"\n"
    "game.serverNumberOfRounds 3\n"
    "game.serverGameTime 0\n"
    "game.serverScoreLimit 0\n"
    "game.serverTicketRatio 100\n"
    "game.objectiveAttackerTicketsMod 100\n"
    "game.serverCoopAISkill 50\n"
    "game.serverAlliedTeamRatio 1\n"
    "game.serverAxisTeamRatio 1\n"
    "game.serverSpawnTime 15\n"
    "admin.spawnWaveTime 5\n"
    "game.serverGameStartDelay 20\n"
    "manager.gravity 0\n"
    "physics.gravity -4\n"
    "admin.timeBeforeRestartMap 10\n"
    "game.serverSoldierFriendlyFire 100\n"
    "game.serverSoldierFriendlyFireOnSplash 100\n"
    "game.serverVehicleFriendlyFire 100\n"
    "game.serverVehicleFriendlyFireOnSplash 100\n"
    "game.serverKickback 0.00\n"
    "game.serverKickbackOnSplash 0.00\n"
    "game.serverTKPunishMode 0\n"
    "admin.banPlayerOnTKKick 0\n"
    "admin.nrOfTKToKick 3\n"
    "admin.spawnDelayPenaltyForTK 0.0\n"
    "manager.autoKickScore 0\n"
    "manager.autoKickScoreValue -6\n"
    "manager.autoBan 0\n"
    "manager.autoBanValue 3\n"
    "game.serverPunkBuster 0\n"
    "manager.banInBFandPB 0\n"
    "admin.enableKickPlayerVote 1\n"
    "admin.enableMapVote 1\n"
    "admin.enableKickTeamPlayerVote 1\n"
    "game.serverAutoBalanceTeams 0\n"
    "manager.smartBalance 0\n"
    "manager.smartBalanceValue 3\n"
    "admin.votingTime 60\n"
    "admin.voteMapMajority 0.60\n"
    "admin.voteKickPlayerMajority 0.60\n"
    "admin.voteKickTeamPlayerMajority 0.60\n"
    "game.serverExternalViews 1\n"
    "game.serverAllowNoseCam 1\n"
    "game.serverFreeCamera 0\n"
    "game.serverHitIndication 1\n"
    "game.serverDeathCameraType 0\n"
    "game.serverCrosshairCenterpoint 1\n"
    "game.serverNameTagDistance 100\n"
    "game.serverNameTagDistanceScope 300\n"
    "manager.consoleUsername \"\"\n"
    "manager.consolePassword \"\"\n"
    "admin.enableRemoteConsole   5711\n"
    "game.serverNumReservedSlots 0\n"
    "game.serverReservedPassword \"\"\n"
    "manager.monitorTimerPeriod 30\n"
    "manager.autoKickPing 0\n"
    "manager.autoKickPingValue 500\n"
    "manager.highPingWarnings 0\n"
    "manager.autoKickWord 0\n"
    "manager.autoAnnounce 0\n"
    "manager.autoAnnouncePeriod 60\n"
    "game.serverEventLogging 0\n"
    "game.serverEventLogCompression 0\n"
    "manager.statCollection 0\n"
    "manager.statFilePath \"\"\n";

// The reset table as serverautoexec.con holds it.
inline const char* const kDefaultAutoexec =
    "admin.bandwidthChokeLimit 0\n"
    "admin.maxAllowedConnectionType CTLanT1\n"
    "admin.setNrOfRounds 3\n"
    "admin.timeLimit 0\n"
    "admin.scoreLimit 0\n"
    "admin.setTicketRatio 1.00\n"
    "admin.timeToNextWave 15\n"
    "admin.spawnWaveTime 5\n"
    "admin.delayBeforeStartingGame 20\n"
    "admin.timeBeforeRestartMap 10\n"
    "admin.soldierFFRatio 1.00\n"
    "admin.soldierFFRatioOnSplash 1.00\n"
    "admin.vehicleFFRatio 1.00\n"
    "admin.vehicleFFRatioOnSplash 1.00\n"
    "admin.kickback 0.00\n"
    "admin.kickbackOnSplash 0.00\n"
    "admin.tkPunishMode 0\n"
    "admin.banPlayerOnTKKick 0\n"
    "admin.nrOfTKToKick 3\n"
    "admin.spawnDelayPenaltyForTK 0.0\n"
    "admin.enableKickPlayerVote 1\n"
    "admin.enableMapVote 1\n"
    "admin.enableKickTeamPlayerVote 1\n"
    "admin.autoBalanceTeam 0\n"
    "admin.votingTime 60\n"
    "admin.voteMapMajority 0.60\n"
    "admin.voteKickPlayerMajority 0.60\n"
    "admin.voteKickTeamPlayerMajority 0.60\n"
    "admin.externalViews 1\n"
    "admin.allowNoseCam 1\n"
    "game.enableFreeCamera 0\n"
    "admin.enableRemoteConsole   5711\n";

inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class SettingsTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    ResetSettings();
  }

  std::string Path(const std::string& name) const { return dir_ / name; }

  // The log lines written so far without their time stamps; clears the log.
  std::vector<std::string> TakeLog() {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(Path("keldor.log")));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t mark = line.find(" : ");
      lines.push_back(mark == std::string::npos ? line : line.substr(mark + 3));
    }
    std::filesystem::remove(Path("keldor.log"));
    return lines;
  }

  // Applies `content` as a settings file with every right and no change logging.
  void Load(const std::string& content, std::int32_t mask = -1, int slot = -1) {
    WriteFile(Path("in.con"), content);
    const SettingsActor actor{ActorName(slot), ActorAddress(slot)};
    ASSERT_TRUE(ApplySettingsFile(Path("in.con"), mask, slot >= 0 ? &actor : nullptr));
  }
};

}  // namespace keldor::testing
