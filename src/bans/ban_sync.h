// Keeping Keldor's ban list and the game's (banlist.con, PunkBuster's
// pbbans.dat) in step: compare them, rebuild one from the other, clear them all.
#pragma once

#include <string>

namespace keldor {

// True when every identifier of Keldor's list is banned in the game's lists and
// every ban of the game's lists is in Keldor's. Identifiers are compared whole
// and without regard to case, as the lifting of bans matches them.
bool VerifyBanSync();

// Rebuilds banlist.con (and pbbans.dat, where PunkBuster is installed) from
// Keldor's list; each file is replaced in one step. No console command is sent.
bool SyncBansToServer();

// Rebuilds Keldor's list from the game's: every ban becomes a permanent one of
// "[unknown]" by "operator" for "unknown reason".
bool SyncBansFromServer();

// Clears the game's ban lists (over the console while the game server runs, as
// files while it does not) and Keldor's; logs the actor's order and tells the
// clients. False when the game server refused to clear its list.
bool ClearBans(const std::string& actorName, const std::string& actorAddress);

}  // namespace keldor
