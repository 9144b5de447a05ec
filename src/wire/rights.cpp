// The rights table and the right each request needs.
#include "wire/rights.h"

#include <array>
#include <cstdio>

#include "wire/protocol.h"

namespace keldor {

namespace {

constexpr std::array<Right, 18> kRights = {{
    {0x1, 'S', "identity settings",
     "settings page 0: server name, addresses and ports, player limit, welcome message, "
     "bandwidth"},
    {0x2, 'G', "game settings",
     "settings page 1: join password, rounds, time, score and ticket limits, spawn timing"},
    {0x4, 'F', "fair play settings",
     "settings page 2: friendly fire, team-kill punishment, minus-score kick and ban, PunkBuster"},
    {0x8, 'I', "view and vote settings",
     "settings page 3: votes, team balance, views and cameras, name tags"},
    {kRightA, 'A', "administration settings",
     "settings page 4: remote console and remote admin, reserved slots, policing, logging, "
     "statistics; the announcements and the banned words"},
    {kRightT, 'T', "status", "the status text"},
    {kRightM, 'M', "maps",
     "mods and maps lists, the rotation, change, next, idle and restart map; map commands in the "
     "game"},
    {kRightP, 'P', "players", "player list, player menu, kick, ban, screenshot, banned words"},
    {kRightB, 'B', "bans", "fetch and store the ban list, remove and clear bans, ban a player"},
    {kRightU, 'U', "users",
     "fetch and store the user list (only accounts within the uploader's own rights)"},
    {kRightH, 'H', "schedule", "fetch and store the event schedule"},
    {kRightC, 'C', "clients", "list the connected clients, disconnect a client"},
    {kRightServer, '\0', "start, stop and pause the game server",
     "start, stop and pause the game server"},
    {kRightLog, '\0', "Keldor's log", "fetch Keldor's log"},
    {0x4000, '\0', "second login", "log in again while already logged in under the same name"},
    {0x8000, '\0', "critical settings",
     "change critical settings (addresses, ports, the remote console's user, password and port, "
     "file paths)"},
    {kRightConsole, '\0', "console commands",
     "send console commands to the game server (anything the game's console allows)"},
    {kRightPunkBuster, '\0', "PunkBuster configuration",
     "fetch and store pbsv.cfg, have PunkBuster save and load it"},
}};

struct RequestRow {
  std::uint32_t code;
  RequestRight needs;
};

constexpr RequestRight kAny{0, false};
constexpr RequestRight kAdmin{0, true};
constexpr RequestRight Needs(std::uint32_t anyOf) {
  return {anyOf, false};
}

// Indexed by code - kFirstRequest.
constexpr std::array<RequestRow, kLastRequest - kFirstRequest + 1> kRequests = {{
    {REQ_GET_SETTINGS, kAny},
    {REQ_PUT_SETTINGS, kAny},
    {REQ_GET_PB_CONFIG, Needs(kRightPunkBuster)},
    {REQ_PUT_PB_CONFIG, Needs(kRightPunkBuster)},
    {REQ_PB_SAVE_CONFIG, Needs(kRightPunkBuster)},
    {REQ_PB_LOAD_CONFIG, Needs(kRightPunkBuster)},
    {REQ_GET_MODS, Needs(kRightM)},
    {REQ_GET_MAPS, Needs(kRightM)},
    {REQ_GET_ROTATION, Needs(kRightM)},
    {REQ_PUT_ROTATION, Needs(kRightM)},
    {REQ_GET_PLAYERS, Needs(kRightP)},
    {REQ_GET_CLIENTS, Needs(kRightC)},
    {REQ_GET_PLAYER_MENU, Needs(kRightP)},
    {REQ_GET_BANS, Needs(kRightB)},
    {REQ_PUT_BANS, Needs(kRightB)},
    {REQ_GET_USERS, Needs(kRightU)},
    {REQ_PUT_USERS, Needs(kRightU)},
    {REQ_GET_SCHEDULE, Needs(kRightH)},
    {REQ_PUT_SCHEDULE, Needs(kRightH)},
    {REQ_GET_STATUS, Needs(kRightT)},
    {REQ_GET_ANNOUNCEMENTS, Needs(kRightA)},
    {REQ_PUT_ANNOUNCEMENTS, Needs(kRightA)},
    {REQ_GET_BANNED_WORDS, Needs(kRightP | kRightA)},
    {REQ_PUT_BANNED_WORDS, Needs(kRightP | kRightA)},
    {REQ_START_SERVER, Needs(kRightServer)},
    {REQ_STOP_SERVER, Needs(kRightServer)},
    {REQ_TOGGLE_PAUSE, Needs(kRightServer)},
    {REQ_GET_JOIN_INFO, Needs(kRightP)},
    {REQ_CHANGE_MAP, Needs(kRightM)},
    {REQ_RUN_NEXT_MAP, Needs(kRightM)},
    {REQ_SET_NEXT_MAP, Needs(kRightM)},
    {REQ_SET_IDLE_MAP, Needs(kRightM)},
    {REQ_RESTART_MAP, Needs(kRightM)},
    {REQ_KICK_PLAYER, Needs(kRightP)},
    {REQ_DISCONNECT_CLIENT, Needs(kRightC)},
    {REQ_BAN_PLAYER, Needs(kRightP | kRightB)},
    {REQ_REMOVE_BAN, Needs(kRightB)},
    {REQ_CLEAR_BANS, Needs(kRightB)},
    {REQ_VERIFY_BAN_SYNC, kAdmin},
    {REQ_SYNC_TO_SERVER_BANS, kAdmin},
    {REQ_SYNC_FROM_SERVER_BANS, kAdmin},
    {REQ_SAY_ALL, kAny},
    {REQ_SERVER_MESSAGE, kAny},
    {REQ_CONSOLE_COMMAND, Needs(kRightConsole)},
    {REQ_SET_PASSWORD, kAny},
    {REQ_GET_LOG, Needs(kRightLog)},
    {REQ_SCREENSHOT, Needs(kRightP)},
    {REQ_PING, kAny},
    {REQ_GET_METRICS, kAny},
    {REQ_TEST_ALERTS, kAdmin},
}};

constexpr bool InCodeOrder() {
  for (std::size_t i = 0; i < kRequests.size(); ++i) {
    if (kRequests[i].code != kFirstRequest + i) return false;
  }
  return true;
}
static_assert(InCodeOrder());

template <typename Pred>
std::string RequestsWhere(Pred wanted) {
  std::string names;
  for (const RequestRow& row : kRequests) {
    if (!wanted(row.needs)) continue;
    if (!names.empty()) names += ", ";
    names += RequestName(row.code);
  }
  return names;
}

}  // namespace

std::span<const Right> AllRights() {
  return kRights;
}

const Right* FindRight(std::uint32_t bit) {
  for (const Right& right : kRights) {
    if (right.bit == bit) return &right;
  }
  return nullptr;
}

bool RequestNeeds(std::uint32_t request, RequestRight* needs) {
  if (request < kFirstRequest || request > kLastRequest) return false;
  *needs = kRequests[request - kFirstRequest].needs;
  return true;
}

bool RightsAllow(std::uint32_t rights, std::uint32_t request) {
  RequestRight needs;
  if (rights == 0 || !RequestNeeds(request, &needs)) return false;
  if (rights == kAdminRights) return true;
  if (needs.adminOnly) return false;
  return needs.anyOf == 0 || (rights & needs.anyOf) != 0;
}

std::string RequestsCovered(std::uint32_t bit) {
  return RequestsWhere([bit](const RequestRight& needs) { return (needs.anyOf & bit) != 0; });
}

std::string RequestsForAnyAccount() {
  return RequestsWhere(
      [](const RequestRight& needs) { return needs.anyOf == 0 && !needs.adminOnly; });
}

std::string RequestsForTheAdministrator() {
  return RequestsWhere([](const RequestRight& needs) { return needs.adminOnly; });
}

std::string RightKey(const Right& right) {
  if (right.letter != '\0') return std::string(1, right.letter);
  char number[16];
  std::snprintf(number, sizeof number, "0x%X", static_cast<unsigned>(right.bit));
  return number;
}

std::string RightLabel(const Right& right) {
  return RightKey(right) + " (" + right.name + ")";
}

std::string NeededText(std::uint32_t request) {
  RequestRight needs;
  if (!RequestNeeds(request, &needs)) return {};
  if (needs.adminOnly) return "the administrator's mask";
  if (needs.anyOf == 0) return "no right";
  std::string alternatives;
  for (const Right& right : kRights) {
    if ((needs.anyOf & right.bit) == 0) continue;
    if (!alternatives.empty()) alternatives += " or ";
    alternatives += RightLabel(right);
  }
  return "the right " + alternatives;
}

}  // namespace keldor
