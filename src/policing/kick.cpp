// The kick of a player on an administrator's word: see kick.h.
#include "policing/kick.h"

#include <climits>
#include <cstdint>
#include <ctime>

#include "core/clock.h"
#include "core/log.h"
#include "gamelink/console.h"
#include "gamelink/player_table.h"
#include "gamelink/status_query.h"
#include "policing/admin_log.h"

namespace keldor {

bool KickPlayer(const Actor& actor, const std::string& request, std::string& kicked) {
  const std::size_t comma = request.find(',');
  const std::string idText = request.substr(0, comma);
  const std::string reason = comma == std::string::npos ? "" : request.substr(comma + 1);
  long long id = 0;
  if (!ParseJobNumber(idText, INT_MIN, INT_MAX, id)) {
    LogMessage(kLogInfo, "Couldn't kick player! The player id '%s' is not a number.",
               idText.c_str());
    return false;
  }
  const int player = static_cast<int>(id);
  LogDebug("DEBUG: Kicked player id %i.", player);
  const std::string name = PlayerNameById(player);
  const std::string address = PlayerAddressById(player);
  const std::string keyhash = PlayerKeyhashById(player);
  const std::string guid = PlayerGuidById(player);
  const std::time_t when = Now();
  if (SendConsoleMessage("admin.kickPlayer %i", player) == nullptr) {
    LogMessage(kLogInfo, "Couldn't kick player %s! The command failed.", name.c_str());
    return false;
  }
  LogMessage(kLogInfo, "User %s at %s kicked player %s (%s) at %s for %s.", actor.name.c_str(),
             actor.address.c_str(), name.c_str(), keyhash.c_str(), address.c_str(), reason.c_str());
  LogAdminAction(name.c_str(), address.c_str(), keyhash.c_str(), guid.c_str(), actor.name.c_str(),
                 static_cast<std::uint32_t>(when), LastStatusValue("mapname"), "kick", 0,
                 reason.c_str());
  kicked = name;
  return true;
}

}  // namespace keldor
