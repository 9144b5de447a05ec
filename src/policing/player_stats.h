// The player statistics log: the final standings of each round appended to a
// CSV file, one line for the round and one per player.
#pragma once

#include <string>

namespace keldor {

// Appends the round that the status reply describes to the file that `value`
// (the statistics path setting) names, when that is a file Keldor may write
// (ResolveOutputFile). False when not all of it was written; ErrorCode 0 then
// means there was nothing to log. `wrote`, when given, tells whether the
// round's line reached the file (so that a caller does not append the same
// round again).
bool LogPlayerStats(const std::string& value, bool* wrote = nullptr);

}  // namespace keldor
