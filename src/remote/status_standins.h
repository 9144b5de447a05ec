// What the status text needs from subsystems not built yet. Until they are,
// the operations are stand-ins in remote/placeholders.cpp; each comment names
// the operation the stand-in is to call.
#pragma once

#include <ctime>
#include <string>

namespace keldor {

// QueryStatus (status query): refresh the last status reply; false with ErrorCode.
bool RefreshStatusReply();
// StatusValue (status query): a value of the last status reply, "??" when absent.
std::string StatusReplyValue(const char* key);
// CurrentMapCombo and CurrentLevelCombo (map rotation files).
std::string CurrentMapText();
std::string CurrentLevelText();
// The idle map combo kept by JOB_SET_IDLE_MAP (command queue).
std::string IdleMapText();
// The time of the last crash (crash watch); 0 before any.
std::time_t LastCrashTime();
// The team score totals and team player counts texts (player table).
std::string TeamScoresText();
std::string TeamSizesText();
// The PunkBuster-enabled flag the running game server reported (monitor pass).
bool PunkBusterEnabled();

}  // namespace keldor
