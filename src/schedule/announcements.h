// Auto-announcements: the lines of announcements.con posted to the game's chat
// in turn, with a default announcement each time the end of the file is reached.
#pragma once

#include <string>

namespace keldor {

// The line posted after the last one of the file (and in place of an empty file).
std::string DefaultAnnouncement();

// One crash-watch pass's share: posts the next line when the announcement
// period has passed. False when the file could not be opened or read.
bool AnnounceNext();

}  // namespace keldor
