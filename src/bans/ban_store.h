// Keldor's own ban list, serverbanlist.con, with its timed bans; and putting
// bans into effect in the game and lifting them: over the console while the game
// server runs, in the game's own list files (game_lists.h) while it does not.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

namespace keldor {

constexpr std::size_t kBanLineMax = 1023;

// One line of serverbanlist.con:
//   "name",address,keyhash,guid,"admin",start,end,reason
// An identifier is "*" when the ban is not on it; start and end are seconds since
// the epoch (end 0: permanent), kept as read; the reason runs to the end of the line.
struct BanEntry {
  std::string name, address, keyhash, guid, admin, start, end, reason;
};

std::string ServerBanListPath();

// False for a line that lacks a field (it is not an entry).
bool ParseBanEntry(const std::string& line, BanEntry& entry);
// The line with its LF. A double quote in the name or admin is written as a
// single quote and a line break as a blank, so that the line reads back whole;
// the line is cut to kBanLineMax by cutting the reason.
std::string FormatBanEntry(const BanEntry& entry);

// Bans the identifiers given (absent ones: empty, "*" or "[unknown]") and
// records the ban. `playerId` is the game's id of the player, -1 when he is not
// known to be on the server. False when nothing could be banned, the list could
// not be written or one identifier failed (the others are still recorded).
// The entry as recorded (absent identifiers "*") in `recorded` when given.
bool AddBan(const std::string& name, int playerId, const std::string& address,
            const std::string& keyhash, const std::string& guid, const std::string& adminUser,
            std::time_t start, std::time_t end, const std::string& reason,
            BanEntry* recorded = nullptr);

// One of many bans made at once: the entry (identifiers absent as "*" or empty,
// times as decimal text) and the game's id of the player it names, -1 when he
// is not on.
struct NewBan {
  BanEntry entry;
  int playerId = -1;
};

// Makes every ban as AddBan does. While the game server is stopped each file is
// appended once for the whole batch, and one line logs the count. Returns how
// many bans were recorded.
std::size_t AddBans(const std::vector<NewBan>& bans);

// A lift made here: who (a user, or "expiry"), the identifiers ("" when not
// lifted) and when.
struct BanLift {
  std::string by, address, keyhash, guid;
  std::time_t at = 0;
};

// Who else learns of the bans and lifts administrators and Keldor's policing
// make here (the fleet, when one is joined). Bans put into effect for someone
// else (AddBan, AddBans, RemoveBan called directly) are not passed on.
using BanMadeHook = void (*)(const BanEntry& entry);
using BanLiftedHook = void (*)(const BanLift& lift);
// Wiring, not state (see ConnectSubsystems); null hooks pass nothing on.
void ConnectBanFeed(BanMadeHook made, BanLiftedHook lifted);
void TellBanMade(const BanEntry& entry);
void TellBanLifted(const BanLift& lift);

// Lifts the given identifiers in the game and in every entry of the list (an
// entry left without identifiers is dropped). `name` is not used.
bool RemoveBan(const std::string& name, const std::string& address, const std::string& keyhash,
               const std::string& guid);

// Lifts every ban whose end has come. Meant to run while the console link is up.
bool ExpireTimedBans();

}  // namespace keldor
