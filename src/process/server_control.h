// The game server on an administrator's word: start, stop, pause and the idle
// map; and the console link's (re)connection, which the process subsystem
// hurries after a launch. Each logs what it did and returns the outcome, which
// the client service tells the clients.
#pragma once

#include <string>

#include "runtime/job_queue.h"

namespace keldor {

enum class ServerOrder { kDone, kAlreadyDone, kFailed };

// Starts the game server unless it is already supervised.
ServerOrder StartServerFor(const Actor& actor);
// Stops the game server unless none is supervised.
ServerOrder StopServerFor(const Actor& actor);

// Pauses a running game or resumes a paused one; whether it is paused now in
// `pausedNow`. False when the game refused. Here, not in gamelink, because
// whether the game is paused is the watch's to keep.
bool TogglePause(const Actor& actor, bool& pausedNow);

// Makes the combo of `request` the map an idle server changes to ("none" or
// an empty combo: none); the combo, made one line, in `combo`. A combo naming a
// map that is not installed is refused. The monitor sends it, so it is kept here.
bool SetIdleMap(const Actor& actor, const std::string& request, std::string& combo);

// Connects the console link unless it is up, logging only failures other than
// a refusal or a timeout.
void ConnectConsoleLink();

// Reads the console's pending output, or connects a link found down while the
// game server is supervised: in the same pass, not by a job that would wait
// for the next one.
void PollConsoleLink();

}  // namespace keldor
