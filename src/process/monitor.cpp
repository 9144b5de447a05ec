// The two timer passes: the crash watch (schedule, crashes and auto-restart,
// renicing, the current map, the periodic jobs) and the 3-second monitor
// (console polling, deferred events, round ends, pause, idle map, version).
#include <strings.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "maps/rotation.h"
#include "policing/player_stats.h"
#include "process/server_process.h"
#include "runtime/alerting.h"
#include "runtime/events.h"
#include "runtime/game_server.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"
#include "schedule/scheduler.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr int kRestartLoopLimit = 3;
constexpr unsigned kIdlePassesBeforeMapChange = 99;
constexpr float kSupportedVersion = 1.02f;

RestartLoopRescue g_restartLoopRescue = nullptr;

// A vanished server: tell the clients, then restart it unless that is off or
// it keeps dying right after each start.
void HandleCrash() {
  const Options& s = Opts();
  ServerWatch& watch = Watch();
  watch.crashTime = Now();
  GameServer().exited = 1;
  LogMessage(kLogInfo, "Server has crashed");
  // Its console went with it. Left open, the link would look up until a later
  // poll found it reset, and the new server's console would wait for that.
  DisconnectConsole();
  Report(Event::kServerCrashed);
  RaiseAlert({AlertKind::kCrashed, "Server has crashed.", {}});
  if (!s.autoRestart) {
    LogMessage(kLogInfo, "Auto-restart is disabled, server will not be restarted.");
    StopServer();
    return;
  }
  // A server killed as hung ended when it was found hung (a kill from before
  // the last launch was of another server).
  const bool killedAsHung = watch.hangKilledAt != 0 && watch.hangKilledAt >= watch.launchTime;
  const std::time_t ended = killedAsHung ? watch.hangKilledAt : MonotonicNow();
  watch.hangKilledAt = 0;
  if (ended - watch.launchTime <= kQuickCrashSeconds) ++watch.restartLoopCount;
  if (watch.restartLoopCount >= kRestartLoopLimit) {
    const int crashes = watch.restartLoopCount;
    LogMessage(kLogInfo, "Server is in a restart loop, disabling auto-restart.");
    StopServer();
    RaiseAlert({AlertKind::kRestartLoop,
                "Server is in a restart loop: auto-restart is disabled until it is started again.",
                {}});
    // What was changed just before may be what keeps it down.
    if (g_restartLoopRescue != nullptr) g_restartLoopRescue(crashes);
    return;
  }
  // The map the server was last seen playing, else the one the rotation named:
  // the restarted server goes on with it.
  const std::string playing = CurrentMapCombo();
  SetCurrentMapOverride(playing != "-" ? playing : watch.currentMapCombo);
  LogMessage(kLogInfo, "Auto-restart is enabled, restarting the server.");
  if (StartServer(true)) RaiseAlert({AlertKind::kRestarted, "Server was restarted.", {}});
}

void Renice(int pid) {
  const Options& s = Opts();
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
  if (errno != 0 || current == s.priority) return;
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(pid), s.priority) != 0) {
    ErrorCode() = errno;
    LogMessage(kLogInfo, "Couldn't set server priority! %s", ErrorText(errno));
    return;
  }
  LogMessage(kLogInfo, "Changed server process priority to %i.", s.priority);
}

void QueuePeriodicJobs() {
  QueueJob(JOB_REFRESH_PLAYERS, nullptr, 0, 0);
  QueueJob(JOB_EXPIRE_BANS, nullptr, 0, 0);
  if (Row(Setting::AutoAnnounce).current != 0) QueueJob(JOB_ANNOUNCE, nullptr, 0, 0);
  if (Row(Setting::AutoKickScore).current != 0 || Row(Setting::AutoKickPing).current != 0 ||
      Row(Setting::AutoKickWord).current != 0) {
    QueueJob(JOB_POLICE_PLAYERS, nullptr, 0, 0);
  }
}

void FollowGameMode(const char* reply) {
  ServerWatch& watch = Watch();
  const char* mode = StatusValue(reply, "gamemode");
  if (mode == nullptr) return;
  if (strcasecmp(mode, "end") == 0) {
    SetCurrentMapOverride("");
    if (Row(Setting::StatCollection).current != 0 && !watch.statsLogged) {
      ErrorCode() = 0;
      bool wrote = false;
      if (LogPlayerStats(Row(Setting::StatFilePath).text, &wrote)) {
        LogMessage(kLogInfo, "Player stats logged to CSV file.");
      } else if (ErrorCode() != 0) {
        LogMessage(kLogInfo, "Couldn't log player stats to CSV file! %s", ErrorText(ErrorCode()));
      }
      // A round partly written is not appended again on the next pass.
      watch.statsLogged = wrote;
    }
    NoteRoundEnded();
    return;
  }
  watch.statsLogged = false;
  const bool pause = strcasecmp(mode, "pause") == 0;
  if (pause && !watch.paused) Report(Event::kGamePaused);
  if (!pause && watch.paused) Report(Event::kGameResumed);
  watch.paused = pause;
}

void FollowPlayerCount(const char* reply) {
  ServerWatch& watch = Watch();
  const char* players = StatusValue(reply, "numplayers");
  if (players == nullptr) return;
  watch.idleCount = players[0] == '0' ? watch.idleCount + 1 : 0;
  if (watch.idleCount <= kIdlePassesBeforeMapChange || watch.idleMapCombo.empty()) return;
  if (strcasecmp(watch.currentMapCombo.c_str(), watch.idleMapCombo.c_str()) != 0) {
    QueueJob(JOB_CHANGE_MAP, watch.idleMapCombo.c_str(), 0, 0);
    LogMessage(kLogInfo, "Server is idle, changing to idle map combo %s.",
               watch.idleMapCombo.c_str());
  }
  watch.idleCount = 0;
}

// PunkBuster's state and the server's version, once per console connection.
void LearnServer(const char* reply) {
  float& version = DetectedServerVersion();
  if (version != 0.0f) return;
  if (const char* pb = StatusValue(reply, "sv_punkbuster")) {
    GameServer().punkBusterRunning = std::atoi(pb) != 0;
    LogDebug(GameServer().punkBusterRunning ? "DEBUG: PunkBuster is enabled."
                                            : "DEBUG: PunkBuster is disabled.");
  }
  if (const char* gamever = StatusValue(reply, "gamever"); gamever != nullptr && gamever[0]) {
    version = std::strtof(gamever + 1, nullptr);
    LogDebug("DEBUG: Detected server version %.2f.", static_cast<double>(version));
    if (version > kSupportedVersion) {
      LogMessage(kLogInfo,
                 "WARNING: This version of Keldor is intended for BF v%.2f and may not work "
                 "correctly with this v%.2f server.",
                 static_cast<double>(kSupportedVersion), static_cast<double>(version));
    }
  }
}

// What the status reply of a server whose console is up tells: the round end,
// pause, idle players and the server's version.
void FollowServerStatus() {
  if (!GameServer().monitoring || GameServer().exited || !Console().connected) return;
  const char* reply = QueryStatus(StatusPort(), "\\info\\");
  if (reply == nullptr) {
    const int error = ErrorCode();
    if (error != 0 && error != ETIMEDOUT && error != ECONNREFUSED) {
      LogMessage(kLogInfo, "Couldn't get server status! %s", ErrorText(error));
    }
    return;
  }
  FollowGameMode(reply);
  FollowPlayerCount(reply);
  LearnServer(reply);
}

}  // namespace

void SetRestartLoopRescue(RestartLoopRescue rescue) {
  g_restartLoopRescue = rescue;
}

void CrashWatch() {
  const Options& s = Opts();
  if (CheckSchedule()) return;
  if (!GameServer().monitoring) return;
  const bool found = FindServerProcess(&GameServer().pid);
  if (!found) {
    // A server that has not ended has not crashed, however it looks.
    if (ChildStillRunning(GameServer().pid)) return;
    HandleCrash();
    return;
  }
  WatchServerExit();
  if (s.renice) Renice(GameServer().pid);
  if (const auto combo = CurrentLevelCombo(); combo && !combo->starts_with('-')) {
    Watch().currentMapCombo = CutToWidth(*combo, kMapComboMax);
  }
  if (!GameServer().consoleUser.empty() && Console().connected) QueuePeriodicJobs();
}

bool ConsoleConnectHurried() {
  const GameServerFacts& server = GameServer();
  return server.monitoring && !server.exited && !server.consoleUser.empty() &&
         !Console().connected && MonotonicNow() <= Watch().quickConnectUntil;
}

void StopHurryingConsole() {
  Watch().quickConnectUntil = 0;
}

void MonitorServer() {
  if (!GameServer().consoleUser.empty()) QueueJobOnce(JOB_CONSOLE_POLL, nullptr, 0, 0);
  FirePendingEvent();
  FollowServerStatus();
  // After the status query, so that its answer counts for this pass.
  WatchForHang();
}

}  // namespace keldor
