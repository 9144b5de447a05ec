// The game server on an administrator's word, and the console link's
// (re)connection: see server_control.h.
#include "process/server_control.h"

#include <strings.h>

#include <cerrno>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/console.h"
#include "gamelink/map_commands.h"
#include "process/server_process.h"
#include "runtime/alerting.h"
#include "runtime/game_server.h"

namespace keldor {

namespace {
constexpr const char* kNoIdleMap = "none";
}  // namespace

ServerOrder StartServerFor(const Actor& actor) {
  if (GameServer().monitoring) {
    LogMessage(kLogInfo, "User %s at %s tried to start the server but it is already running.",
               actor.name.c_str(), actor.address.c_str());
    return ServerOrder::kAlreadyDone;
  }
  if (!StartServer()) return ServerOrder::kFailed;
  LogMessage(kLogInfo, "User %s at %s started the server.", actor.name.c_str(),
             actor.address.c_str());
  RaiseAlert({AlertKind::kStarted, actor.name + " started the server.", {{"by", actor.name}}});
  return ServerOrder::kDone;
}

ServerOrder StopServerFor(const Actor& actor) {
  if (!GameServer().monitoring) {
    LogMessage(kLogInfo, "User %s at %s tried to stop the server but it is already stopped.",
               actor.name.c_str(), actor.address.c_str());
    return ServerOrder::kAlreadyDone;
  }
  if (!StopServer()) return ServerOrder::kFailed;
  LogMessage(kLogInfo, "User %s at %s stopped the server.", actor.name.c_str(),
             actor.address.c_str());
  RaiseAlert({AlertKind::kStopped, actor.name + " stopped the server.", {{"by", actor.name}}});
  return ServerOrder::kDone;
}

bool TogglePause(const Actor& actor, bool& pausedNow) {
  if (SendConsoleMessage("admin.toggleGamePause") == nullptr) {
    LogMessage(kLogInfo, "Couldn't pause game! The command failed.");
    return false;
  }
  pausedNow = !GamePaused();
  LogMessage(kLogInfo,
             pausedNow ? "User %s at %s paused the server." : "User %s at %s unpaused the server.",
             actor.name.c_str(), actor.address.c_str());
  SetGamePaused(pausedNow);
  return true;
}

bool SetIdleMap(const Actor& actor, const std::string& request, std::string& combo) {
  combo = FlattenLine(request);
  // "none", like an empty combo, turns the idle map off.
  if (strcasecmp(combo.c_str(), kNoIdleMap) == 0) combo.clear();
  if (!combo.empty() && !MapInstalled(actor, combo)) return false;
  SetIdleMapCombo(CutToWidth(combo, kMapComboMax));
  LogMessage(kLogInfo, "User %s at %s changed the idle map to %s.", actor.name.c_str(),
             actor.address.c_str(), combo.c_str());
  return true;
}

void ConnectConsoleLink() {
  if (Console().connected) return;
  ErrorCode() = 0;
  if (ConnectConsole()) return;
  const int code = ErrorCode();
  if (code != ECONNREFUSED) StopHurryingConsole();
  if (code != 0 && code != ETIMEDOUT && code != ECONNREFUSED) {
    LogMessage(kLogInfo, "Couldn't connect to server console! %s", ErrorText(code));
  }
}

void PollConsoleLink() {
  if (Console().connected) {
    ReadConsoleOutput();
  } else if (GameServer().monitoring) {
    ConnectConsoleLink();
  }
}

}  // namespace keldor
