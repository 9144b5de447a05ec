// Map combos ("map mode mod") from the rotation files, the current map
// override that takes their place while it is set, and the game mode codes of
// the status reply's game types.
#pragma once

#include <optional>
#include <string>

namespace keldor {

constexpr std::size_t kComboMapMax = 63;  // the map's part of a combo from the status reply
constexpr std::size_t kComboModMax = 31;  // the mod's, and the game type looked up

// "GPM_CQ", "GPM_COOP", "GPM_EVOL", "GPM_CCOMBAT", or "???" for any other game type.
const char* GameModeCode(const std::string& gameType);

// The combo of a status reply's map name, game type and mod: the map
// lower-cased with its blanks as '_', the mod lower-cased.
std::string MapComboOf(std::string mapName, std::string gameType, std::string mod);

// The combo the rotation designates: the override while it holds three words,
// else the first game.setCurrentLevel line of maplist.con (server running) or
// servermaplist.con (stopped); "-" when there is none, nothing when the file
// cannot be read (logged).
std::optional<std::string> CurrentLevelCombo();

// At most 127 characters; empty = no override.
void SetCurrentMapOverride(const std::string& combo);
const std::string& CurrentMapOverride();

// Copies the rotation `source` to `target` with `combo` as the level the game
// starts with: every game.setCurrentLevel line names it, or one is put first.
bool WriteMapListStartingAt(const std::string& source, const std::string& target,
                            const std::string& combo);

}  // namespace keldor
