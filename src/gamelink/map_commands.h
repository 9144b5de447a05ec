// Map changes on an administrator's word: change the map, set the next one,
// run the next one, restart the current one. They live here rather than in
// maps because each is a console command, and maps sits below the console link.
// Each logs what it did (or why it could not) and returns the outcome, which
// the client service tells the clients.
#pragma once

#include <string>

#include "runtime/job_queue.h"

namespace keldor {

// Changes to the combo "MAP MODE MOD" of `request`; the combo as sent, made
// one line, in `combo`. A combo naming a map that is not installed is refused.
bool ChangeMap(const Actor& actor, const std::string& request, std::string& combo);

// Makes the combo of `request` the next map (recorded only, while the game
// server is not supervised); the combo as in ChangeMap.
bool SetNextMap(const Actor& actor, const std::string& request, std::string& combo);

bool RunNextMap(const Actor& actor);
bool RestartMap(const Actor& actor);

// The refusal of a combo naming a map that is not installed, logged; true when
// the combo may go to the game.
bool MapInstalled(const Actor& actor, const std::string& combo);

}  // namespace keldor
