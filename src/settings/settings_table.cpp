// The settings table as built into the program.
#include "core/helpers.h"
#include "core/state_table.h"
#include "settings/settings.h"

namespace keldor {

namespace {

// One row per line, in table order; kept unwrapped so each row reads as one.
// clang-format off
const SettingsRows kDefinitions{{
    {0, "game.serverName", "", SettingType::kText, "BFSERVER", 1, 0, 32, 0, {}, 0},  // 0
    {0, "game.serverDedicated", "", SettingType::kBool, "", 1, 0, 1, 0, {}, 0},  // 1
    {0, "game.serverIP", "", SettingType::kAddress, "", 0, 0, 0, 1, {}, 0},  // 2
    {0, "", "manager.bindAllIntefaces", SettingType::kBool, "", 0, 0, 1, 1, {}, 0},  // 3
    {0, "game.serverPort", "", SettingType::kInteger, "", 15567, 1024, 65535, 1, {}, 0},  // 4
    {0, "", "manager.consolePort", SettingType::kInteger, "", 5711, 1024, 65535, 1, {}, 0},  // 5
    {0, "game.gameSpyPort", "", SettingType::kInteger, "", 23000, 1024, 65535, 1, {}, 0},  // 6
    {0, "game.gameSpyLANPort", "", SettingType::kInteger, "", 22000, 1024, 65535, 1, {}, 0},  // 7
    {0, "game.ASEPort", "", SettingType::kInteger, "", 15690, 1024, 65535, 1, {}, 0},  // 8
    {0, "game.serverMaxPlayers", "", SettingType::kInteger, "", 32, 2, 64, 1, {}, 0},  // 9
    {0, "game.setServerWelcomeMessage", "", SettingType::kMessage, "", 0, 0, 5, 0, {}, 0},  // 10
    {0, "game.serverInternet", "", SettingType::kBool, "", 0, 0, 1, 1, {}, 0},  // 11
    {0, "game.serverBandwidthChokeLimit", "admin.bandwidthChokeLimit", SettingType::kChoice, "0/No Limit,8/64 Kbps,16/128 Kbps,32/256 Kbps,64/512 Kbps,128/1024 Kbps,256/2048 Kbps,1024/8192 Kbps", 1, 0, 0, 1, {}, 0},  // 12
    {0, "game.serverMaxAllowedConnectionType", "admin.maxAllowedConnectionType", SettingType::kChoice, "CTModem56Kbps/Modem 56 Kbps,CTCable128Kbps/Cable 128 Kbps,CTCable256Kbps/Cable 256 Kbps,CTLanT1/Lan T1", 4, 0, 0, 1, {}, 0},  // 13
    {0, "game.serverCoopCPU", "", SettingType::kInteger, "", 100, 1, 100, 1, {}, 0},  // 14
    {0, "game.serverContentCheck", "", SettingType::kInteger, "", 0, 0, 2, 0, {}, 0},  // 15
    {1, "game.serverPassword", "", SettingType::kText, "", 0, 0, 32, 0, {}, 0},  // 16
    {1, "game.serverNumberOfRounds", "admin.setNrOfRounds", SettingType::kInteger, "", 3, 0, 10, 0, {}, 0},  // 17
    {1, "game.serverGameTime", "admin.timeLimit", SettingType::kInteger, "", 0, 0, 120, 0, {}, 0},  // 18
    {1, "game.serverScoreLimit", "admin.scoreLimit", SettingType::kInteger, "", 0, 0, 120, 0, {}, 0},  // 19
    {1, "game.serverTicketRatio", "admin.setTicketRatio", SettingType::kInteger, "", 100, 10, 1000, 0, {}, 0},  // 20
    {1, "game.objectiveAttackerTicketsMod", "", SettingType::kInteger, "", 100, 50, 200, 0, {}, 0},  // 21
    {1, "game.serverCoopAISkill", "", SettingType::kInteger, "", 50, 1, 100, 0, {}, 0},  // 22
    {1, "game.serverAlliedTeamRatio", "", SettingType::kInteger, "", 1, 0, 10, 0, {}, 0},  // 23
    {1, "game.serverAxisTeamRatio", "", SettingType::kInteger, "", 1, 0, 10, 0, {}, 0},  // 24
    {1, "game.serverSpawnTime", "admin.timeToNextWave", SettingType::kInteger, "", 15, 1, 120, 0, {}, 0},  // 25
    {1, "", "admin.spawnWaveTime", SettingType::kInteger, "", 5, 1, 30, 0, {}, 0},  // 26
    {1, "game.serverGameStartDelay", "admin.delayBeforeStartingGame", SettingType::kInteger, "", 20, 0, 120, 0, {}, 0},  // 27
    {1, "", "manager.gravity", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 28
    {1, "", "physics.gravity", SettingType::kNegativeInteger, "", 4, 1, 15, 0, {}, 0},  // 29
    {1, "", "admin.timeBeforeRestartMap", SettingType::kInteger, "", 10, 5, 30, 0, {}, 0},  // 30
    {2, "game.serverSoldierFriendlyFire", "admin.soldierFFRatio", SettingType::kInteger, "", 100, 0, 200, 0, {}, 0},  // 31
    {2, "game.serverSoldierFriendlyFireOnSplash", "admin.soldierFFRatioOnSplash", SettingType::kInteger, "", 100, 0, 200, 0, {}, 0},  // 32
    {2, "game.serverVehicleFriendlyFire", "admin.vehicleFFRatio", SettingType::kInteger, "", 100, 0, 200, 0, {}, 0},  // 33
    {2, "game.serverVehicleFriendlyFireOnSplash", "admin.vehicleFFRatioOnSplash", SettingType::kInteger, "", 100, 0, 200, 0, {}, 0},  // 34
    {2, "game.serverKickback", "admin.kickback", SettingType::kHundredths, "", 0, 0, 200, 0, {}, 0},  // 35
    {2, "game.serverKickbackOnSplash", "admin.kickbackOnSplash", SettingType::kHundredths, "", 0, 0, 200, 0, {}, 0},  // 36
    {2, "game.serverTKPunishMode", "admin.tkPunishMode", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 37
    {2, "", "admin.banPlayerOnTKKick", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 38
    {2, "", "admin.nrOfTKToKick", SettingType::kInteger, "", 3, 0, 20, 0, {}, 0},  // 39
    {2, "", "admin.spawnDelayPenaltyForTK", SettingType::kTenths, "", 0, 0, 100, 0, {}, 0},  // 40
    {2, "", "manager.autoKickScore", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 41
    {2, "", "manager.autoKickScoreValue", SettingType::kNegativeInteger, "", 6, 1, 25, 0, {}, 0},  // 42
    {2, "", "manager.autoBan", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 43
    {2, "", "manager.autoBanValue", SettingType::kInteger, "", 3, 1, 10, 0, {}, 0},  // 44
    {2, "game.serverPunkBuster", "", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 45
    {2, "", "manager.banInBFandPB", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 46
    {3, "", "admin.enableKickPlayerVote", SettingType::kBool, "", 1, 0, 1, 0, {}, 0},  // 47
    {3, "", "admin.enableMapVote", SettingType::kBool, "", 1, 0, 1, 0, {}, 0},  // 48
    {3, "", "admin.enableKickTeamPlayerVote", SettingType::kBool, "", 1, 0, 1, 0, {}, 0},  // 49
    {3, "game.serverAutoBalanceTeams", "admin.autoBalanceTeam", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 50
    {3, "", "manager.smartBalance", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 51
    {3, "", "manager.smartBalanceValue", SettingType::kInteger, "", 3, 2, 10, 0, {}, 0},  // 52
    {3, "", "admin.votingTime", SettingType::kInteger, "", 60, 0, 120, 0, {}, 0},  // 53
    {3, "", "admin.voteMapMajority", SettingType::kHundredths, "", 60, 1, 100, 0, {}, 0},  // 54
    {3, "", "admin.voteKickPlayerMajority", SettingType::kHundredths, "", 60, 1, 100, 0, {}, 0},  // 55
    {3, "", "admin.voteKickTeamPlayerMajority", SettingType::kHundredths, "", 60, 1, 100, 0, {}, 0},  // 56
    {3, "game.serverExternalViews", "admin.externalViews", SettingType::kBool, "", 1, 0, 1, 0, {}, 0},  // 57
    {3, "game.serverAllowNoseCam", "admin.allowNoseCam", SettingType::kBool, "", 1, 0, 1, 0, {}, 0},  // 58
    {3, "game.serverFreeCamera", "game.enableFreeCamera", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 59
    {3, "game.serverHitIndication", "", SettingType::kBool, "", 1, 0, 1, 0, {}, 0},  // 60
    {3, "game.serverDeathCameraType", "", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 61
    {3, "game.serverCrosshairCenterpoint", "admin.crossHairCenterPoint", SettingType::kBool, "", 1, 0, 1, 0, {}, 0},  // 62
    {3, "game.serverNameTagDistance", "", SettingType::kInteger, "", 100, 0, 600, 0, {}, 0},  // 63
    {3, "game.serverNameTagDistanceScope", "", SettingType::kInteger, "", 300, 0, 600, 0, {}, 0},  // 64
    {4, "", "manager.consoleUsername", SettingType::kText, "User", 1, 0, 32, 0, {}, 0},  // 65
    {4, "", "manager.consolePassword", SettingType::kText, "Sentinel", 1, 0, 32, 0, {}, 0},  // 66
    {4, "", "admin.enableRemoteConsole", SettingType::kRemoteConsole, "", 1, 0, 1, 0, {}, 0},  // 67
    {4, "", "admin.enableRemoteAdmin", SettingType::kRemoteAdmin, "", 0, 0, 1, 0, {}, 0},  // 68
    {4, "game.serverNumReservedSlots", "", SettingType::kInteger, "", 0, 0, 64, 0, {}, 0},  // 69
    {4, "game.serverReservedPassword", "", SettingType::kText, "", 0, 0, 32, 0, {}, 0},  // 70
    {4, "", "manager.monitorTimerPeriod", SettingType::kInteger, "", 30, 10, 60, 0, {}, 0},  // 71
    {4, "", "manager.autoKickPing", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 72
    {4, "", "manager.autoKickPingValue", SettingType::kInteger, "", 500, 100, 500, 0, {}, 0},  // 73
    {4, "", "manager.highPingWarnings", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 74
    {4, "", "admin.toggleGamePause", SettingType::kPresence, "", 0, 0, 0, 0, {}, 0},  // 75
    {4, "", "manager.autoKickWord", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 76
    {4, "", "manager.autoAnnounce", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 77
    {4, "", "manager.autoAnnouncePeriod", SettingType::kInteger, "", 60, 10, 1800, 0, {}, 0},  // 78
    {4, "game.serverEventLogging", "", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 79
    {4, "game.serverEventLogCompression", "", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 80
    {4, "", "manager.statCollection", SettingType::kBool, "", 0, 0, 1, 0, {}, 0},  // 81
    {4, "", "manager.statFilePath", SettingType::kText, "statistics.csv", 1, 0, 325, 1, {}, 0},  // 82
}};
// clang-format on

void StartWithDefinitions(SettingsRows& rows) {
  rows = kDefinitions;
}
StateTable<SettingsRows> g_liveTable(StartWithDefinitions);
StateTable<SettingsRows> g_snapshotTable(StartWithDefinitions);
SettingsRows& g_table = *g_liveTable;
SettingsRows& g_snapshot = *g_snapshotTable;

}  // namespace

SettingsRows& SettingsTable() {
  return g_table;
}
SettingsRows& SettingsSnapshot() {
  return g_snapshot;
}
SettingDef& Row(Setting key) {
  return g_table[static_cast<std::size_t>(key)];
}

const char* SettingName(int row) {
  if (row < 0 || row >= kSettingCount) return "[bad index]";
  const SettingDef& def = g_table[static_cast<std::size_t>(row)];
  if (def.gameKey[0] != '\0') return def.gameKey;
  if (def.commandKey[0] != '\0') return def.commandKey;
  return "[unknown]";
}

bool IsSecretSetting(int row) {
  return row == RowIndex(Setting::ServerPassword) || row == RowIndex(Setting::ConsolePassword) ||
         row == RowIndex(Setting::ServerReservedPassword);
}

void CopySettingsToSnapshot() {
  g_snapshot = g_table;
}

void ResetSettings() {
  for (SettingDef& def : g_table) {
    switch (def.type) {
      case SettingType::kBool:
      case SettingType::kInteger:
      case SettingType::kNegativeInteger:
      case SettingType::kHundredths:
      case SettingType::kTenths:
      case SettingType::kRemoteAdmin:
        def.current = def.defaultValue;
        def.text.clear();
        break;
      case SettingType::kText:
      case SettingType::kMessage:
      case SettingType::kAddress:
        def.current = 0;
        def.text.clear();
        break;
      case SettingType::kChoice: {
        def.current = 0;
        const char* option = ListKeyAt(def.defaultText, def.defaultValue);
        def.text = option != nullptr ? option : "";
        break;
      }
      case SettingType::kRemoteConsole:
        def.current = def.defaultValue;
        Row(Setting::ConsolePort).current = Row(Setting::ConsolePort).defaultValue;
        break;
      case SettingType::kPresence:
        break;
    }
  }
}

}  // namespace keldor
