// Keldor's main: the command line, the start-up sequence and then the main loop.
#pragma once

#include "core/state_table.h"  // ResetAllState, for the tests

namespace keldor {

// Runs the whole daemon and returns its exit status.
int RunKeldor(int argc, char** argv);

// The start-up sequence after the command line, the listening socket included;
// returns kKeepGoing (daemon/main_loop.h) to go on to the main loop, otherwise the status to exit
// with.
int RunStartup();

// Connects the subsystems at start-up: every hook from a lower layer to a
// higher one is set here, and nowhere else.
void ConnectSubsystems();

}  // namespace keldor
