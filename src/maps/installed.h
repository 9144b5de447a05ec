// Whether a map combo or a rotation names only installed maps, by the mods
// and maps discovery wrote to maps.con in the settings directory.
#pragma once

#include <string>

namespace keldor {

// Empty when the combo ("map mode mod") names an installed map in a game mode
// it offers, or when the installed maps are unknown (maps.con unreadable);
// otherwise why it is refused, e.g. "the map khe_sahn is not installed in bfvietnam".
std::string ComboRefusal(const std::string& combo);

// As ComboRefusal for every level a rotation's text names (its
// game.setCurrentLevel and game.addLevelToRotation lines); the refusal of the
// first bad one, prefixed by "line N: ".
std::string RotationRefusal(const std::string& text);

}  // namespace keldor
