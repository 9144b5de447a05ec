// What the status text needs from subsystems not built yet (rotation files,
// player table). Until they are,
// the operations are stand-ins in remote/placeholders.cpp; each comment names
// the operation the stand-in is to call.
#pragma once

#include <string>

namespace keldor {

// CurrentMapCombo and CurrentLevelCombo (map rotation files).
std::string CurrentMapText();
std::string CurrentLevelText();
// The team score totals and team player counts texts (player table).
std::string TeamScoresText();
std::string TeamSizesText();

}  // namespace keldor
