// Operations of subsystems that are not built yet, under the names and
// signatures the real ones will have. Everything that is still a stand-in lives
// in this folder and nowhere else: when an owner lands, its operations move to
// the owner's header and their stand-ins are deleted from standins.cpp.
//
// Stand-ins that would change something log "WARNING: ... is not available in
// this build." and fail, so that a client is told NOTE_COMMAND_FAILED rather
// than a success that did not happen; the rest report nothing to do.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace keldor {

// Announcements: nothing is done.
bool AnnounceNext();

// Map rotation: no combo is known (nullptr); the status text's map fields: "??".
const char* CurrentLevelCombo();
std::string CurrentMapText();
std::string CurrentLevelText();

// Firing of scheduled events: no event is ever due.
bool CheckSchedule();
bool FireEvent(std::time_t eventTime);

}  // namespace keldor
