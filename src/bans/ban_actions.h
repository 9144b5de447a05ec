// Bans, their lifting and the ban lists' sync on an administrator's word. Each
// logs what it did (or why it could not) and returns the outcome, which the
// client service tells the clients.
#pragma once

#include <string>

#include "runtime/job_queue.h"

namespace keldor {

// Bans by `request`: the player's id, name, address, key hash, GUID, duration
// in seconds (0: permanent) and reason, each ended by kBanFieldEnd (the reason
// may have lost its end byte to the job's width). The banned player's name in
// `banned`. False when a field is missing or the ban failed.
bool BanPlayer(const Actor& actor, const std::string& request, std::string& banned);

// Lifts the ban of `request`, "NAME,ADDRESS,KEYHASH,GUID" (missing fields are
// empty). The name in `lifted`. False when nothing could be lifted.
bool LiftBan(const Actor& actor, const std::string& request, std::string& lifted);

// Compares Keldor's ban list with the game's; true when they are in step.
bool CheckBanSync(const Actor& actor);

// Rebuilds the game's lists from Keldor's (`toServer`) or Keldor's from the
// game's. False when that failed.
bool SyncBanLists(const Actor& actor, bool toServer);

}  // namespace keldor
