// Automatic kicks and bans: the policing pass over the player table (banned
// words in names, minus score, high ping) and the count of minus-score kicks
// in kicklist.con that turns a repeated offence into a ban.
#pragma once

#include <string>

namespace keldor {

// One pass; always true.
bool PolicePlayers();

// Counts a minus-score kick of the player (by key hash on an Internet server,
// by address otherwise) and answers whether this offence is to be a ban instead.
bool AutoBan(const char* ip, const char* keyhash);

// Settings directory + "/kicklist.con".
std::string KickListPath();

}  // namespace keldor
