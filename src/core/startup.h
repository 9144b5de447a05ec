// Keldor's main: the command line, the start-up sequence and then the main loop.
#pragma once

namespace keldor {

// Runs the whole daemon and returns its exit status.
int RunKeldor(int argc, char** argv);

// The start-up sequence after the command line; returns -1 to go on to the
// main loop, otherwise the status to exit with.
int RunStartup();

// Puts every subsystem's state back to its start (tests call it before each case).
void ResetAllState();

}  // namespace keldor
