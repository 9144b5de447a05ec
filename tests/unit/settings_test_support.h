// Shared set-up for the settings tests: the reset table as the files hold it
// and a fresh state in a temp directory that also receives keldor.log.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "remote/sessions.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor::testing {

// The reset table as servermanager.con holds it.
inline const char* const kDefaultManagerFile =
    "game.serverName \"\"\ngame.serverDedicated 1\ngame.serverIP 0.0.0.0\n"
    "manager.bindAllIntefaces 0\ngame.serverPort 15567\nmanager.consolePort 5711\n"
    "game.gameSpyPort 23000\ngame.gameSpyLANPort 22000\ngame.ASEPort 15690\n"
    "game.serverMaxPlayers 32\ngame.serverInternet 0\ngame.serverBandwidthChokeLimit 0\n"
    "game.serverMaxAllowedConnectionType CTLanT1\ngame.serverCoopCPU 100\n"
    "game.serverContentCheck 0\ngame.serverPassword \"\"\ngame.serverNumberOfRounds 3\n"
    "game.serverGameTime 0\ngame.serverScoreLimit 0\ngame.serverTicketRatio 100\n"
    "game.objectiveAttackerTicketsMod 100\ngame.serverCoopAISkill 50\n"
    "game.serverAlliedTeamRatio 1\ngame.serverAxisTeamRatio 1\ngame.serverSpawnTime 15\n"
    "admin.spawnWaveTime 5\ngame.serverGameStartDelay 20\nmanager.gravity 0\nphysics.gravity -4\n"
    "admin.timeBeforeRestartMap 10\ngame.serverSoldierFriendlyFire 100\n"
    "game.serverSoldierFriendlyFireOnSplash 100\ngame.serverVehicleFriendlyFire 100\n"
    "game.serverVehicleFriendlyFireOnSplash 100\ngame.serverKickback 0.00\n"
    "game.serverKickbackOnSplash 0.00\ngame.serverTKPunishMode 0\nadmin.banPlayerOnTKKick 0\n"
    "admin.nrOfTKToKick 3\nadmin.spawnDelayPenaltyForTK 0.0\nmanager.autoKickScore 0\n"
    "manager.autoKickScoreValue -6\nmanager.autoBan 0\nmanager.autoBanValue 3\n"
    "game.serverPunkBuster 0\nmanager.banInBFandPB 0\nadmin.enableKickPlayerVote 1\n"
    "admin.enableMapVote 1\nadmin.enableKickTeamPlayerVote 1\ngame.serverAutoBalanceTeams 0\n"
    "manager.smartBalance 0\nmanager.smartBalanceValue 3\nadmin.votingTime 60\n"
    "admin.voteMapMajority 0.60\nadmin.voteKickPlayerMajority 0.60\n"
    "admin.voteKickTeamPlayerMajority 0.60\ngame.serverExternalViews 1\n"
    "game.serverAllowNoseCam 1\ngame.serverFreeCamera 0\ngame.serverHitIndication 1\n"
    "game.serverDeathCameraType 0\ngame.serverCrosshairCenterpoint 1\n"
    "game.serverNameTagDistance 100\ngame.serverNameTagDistanceScope 300\n"
    "manager.consoleUsername \"\"\nmanager.consolePassword \"\"\n"
    "admin.enableRemoteConsole   5711\ngame.serverNumReservedSlots 0\n"
    "game.serverReservedPassword \"\"\nmanager.monitorTimerPeriod 30\nmanager.autoKickPing 0\n"
    "manager.autoKickPingValue 500\nmanager.highPingWarnings 0\nmanager.autoKickWord 0\n"
    "manager.autoAnnounce 0\nmanager.autoAnnouncePeriod 60\ngame.serverEventLogging 0\n"
    "game.serverEventLogCompression 0\nmanager.statCollection 0\nmanager.statFilePath \"\"\n";

// The reset table as serverautoexec.con holds it.
inline const char* const kDefaultAutoexec =
    "admin.bandwidthChokeLimit 0\nadmin.maxAllowedConnectionType CTLanT1\nadmin.setNrOfRounds 3\n"
    "admin.timeLimit 0\nadmin.scoreLimit 0\nadmin.setTicketRatio 1.00\nadmin.timeToNextWave 15\n"
    "admin.spawnWaveTime 5\nadmin.delayBeforeStartingGame 20\nadmin.timeBeforeRestartMap 10\n"
    "admin.soldierFFRatio 1.00\nadmin.soldierFFRatioOnSplash 1.00\nadmin.vehicleFFRatio 1.00\n"
    "admin.vehicleFFRatioOnSplash 1.00\nadmin.kickback 0.00\nadmin.kickbackOnSplash 0.00\n"
    "admin.tkPunishMode 0\nadmin.banPlayerOnTKKick 0\nadmin.nrOfTKToKick 3\n"
    "admin.spawnDelayPenaltyForTK 0.0\nadmin.enableKickPlayerVote 1\nadmin.enableMapVote 1\n"
    "admin.enableKickTeamPlayerVote 1\nadmin.autoBalanceTeam 0\nadmin.votingTime 60\n"
    "admin.voteMapMajority 0.60\nadmin.voteKickPlayerMajority 0.60\n"
    "admin.voteKickTeamPlayerMajority 0.60\nadmin.externalViews 1\nadmin.allowNoseCam 1\n"
    "game.enableFreeCamera 0\nadmin.enableRemoteConsole   5711\n";

// `text` with each `from` (which must be there) replaced by its `to`.
inline std::string Replace(std::string text,
                           const std::vector<std::pair<std::string, std::string>>& edits) {
  for (const auto& [from, to] : edits) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
  }
  return text;
}

class SettingsTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    ResetSettings();
  }
  // Applies `content` as a settings file; by default with every right and no
  // acting slot, so without change lines.
  void Load(const std::string& content, std::int32_t mask = -1, int slot = -1) {
    WriteFile(dir_ / "in.con", content);
    const SettingsActor actor{ActorName(slot), ActorAddress(slot)};
    ASSERT_TRUE(ApplySettingsFile(dir_ / "in.con", mask, slot >= 0 ? &actor : nullptr));
  }
};

}  // namespace keldor::testing
