// Discovery of the installed mods and maps: mods.con and maps.con.
#pragma once

#include <string>

namespace keldor {

// Game-type bits of a map line in maps.con.
constexpr unsigned kGameTypeConquest = 1;
constexpr unsigned kGameTypeCoop = 2;
constexpr unsigned kGameTypeEvolution = 4;
constexpr unsigned kGameTypeCustomCombat = 8;  // every map has it

// Writes one line per mod directory under mods/ that holds init.con.
bool WriteModsFile(const std::string& path);

// Writes "mod,map,bits" for every level archive of the mods listed in the
// settings directory's mods.con (so WriteModsFile runs first).
bool WriteMapsFile(const std::string& path);

// The conquest and coop bits of a level archive; false (logged, no bits) when
// it cannot be opened.
bool LevelGameTypes(const std::string& archivePath, unsigned& bits);

}  // namespace keldor
