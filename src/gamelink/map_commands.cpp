// Map changes on an administrator's word: see map_commands.h.
#include "gamelink/map_commands.h"

#include "core/clock.h"
#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/console.h"
#include "maps/installed.h"
#include "maps/rotation.h"
#include "runtime/audit.h"
#include "runtime/game_server.h"

namespace keldor {

namespace {

// A command without argument; false (logged with `failed`) when refused.
bool PlainCommand(const char* command, const char* failed) {
  if (SendConsoleMessage("%s", command) != nullptr) return true;
  LogMessage(kLogInfo, "%s", failed);
  return false;
}

// A map change done, for the audit beyond the local log; `map` is the map asked
// for, empty when the rotation chose.
void AuditMapChange(const Actor& actor, const char* action, const std::string& map) {
  AuditRecord record;
  record.admin = actor.name;
  record.address = actor.address;
  record.time = static_cast<std::uint32_t>(Now());
  record.map = map;
  record.action = action;
  Audit(record);
}

}  // namespace

// The game would take a combo naming a map that is not installed and leave the
// server without a map: it is refused before the game sees it.
bool MapInstalled(const Actor& actor, const std::string& combo) {
  const std::string refusal = ComboRefusal(combo);
  if (refusal.empty()) return true;
  LogMessage(kLogInfo, "Refused the map %s of user %s at %s: %s.", combo.c_str(),
             actor.name.c_str(), actor.address.c_str(), refusal.c_str());
  return false;
}

bool ChangeMap(const Actor& actor, const std::string& request, std::string& combo) {
  combo = FlattenLine(request);
  if (!MapInstalled(actor, combo)) return false;
  if (SendConsoleMessage("admin.changeMap %s", combo.c_str()) == nullptr) {
    LogMessage(kLogInfo, "Couldn't change to map %s! The command failed.", combo.c_str());
    return false;
  }
  LogMessage(kLogInfo, "User %s at %s changed the map to %s.", actor.name.c_str(),
             actor.address.c_str(), combo.c_str());
  AuditMapChange(actor, "map", combo);
  return true;
}

bool SetNextMap(const Actor& actor, const std::string& request, std::string& combo) {
  combo = FlattenLine(request);
  if (!MapInstalled(actor, combo)) return false;
  if (GameServer().monitoring &&
      SendConsoleMessage("admin.setNextLevel %s", combo.c_str()) == nullptr) {
    LogMessage(kLogInfo, "Couldn't set next map to %s! The command failed.", combo.c_str());
    return false;
  }
  LogMessage(kLogInfo, "User %s at %s changed the next map to %s.", actor.name.c_str(),
             actor.address.c_str(), combo.c_str());
  SetCurrentMapOverride(CutToWidth(combo, kMapComboMax));
  AuditMapChange(actor, "nextmap", combo);
  return true;
}

bool RunNextMap(const Actor& actor) {
  if (!PlainCommand("admin.runNextLevel", "Couldn't run next map! The command failed.")) {
    return false;
  }
  LogMessage(kLogInfo, "User %s at %s changed to the next map in the rotation.", actor.name.c_str(),
             actor.address.c_str());
  AuditMapChange(actor, "runnextmap", "");
  return true;
}

bool RestartMap(const Actor& actor) {
  if (!PlainCommand("admin.restartMap", "Couldn't restart map! The command failed.")) return false;
  LogMessage(kLogInfo, "User %s at %s restarted the current map.", actor.name.c_str(),
             actor.address.c_str());
  AuditMapChange(actor, "restartmap", "");
  return true;
}

}  // namespace keldor
