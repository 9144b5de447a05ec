// Keldor's main: the command line, the start-up sequence and then the main loop.
#pragma once

#include "core/state_table.h"  // ResetAllState, for the tests

namespace keldor {

// What a step of start-up or a pass of the main loop returns to let the daemon
// go on; anything else is the status to exit with.
constexpr int kGoOn = -1;

// Runs the whole daemon and returns its exit status.
int RunKeldor(int argc, char** argv);

// The start-up sequence after the command line, the listening socket included;
// returns kGoOn to go on to the main loop, otherwise the status to exit with.
int RunStartup();

// Connects the subsystems: the client service runs the queued jobs and hears
// what the others report, and the log knows when the terminal is taken.
void ConnectSubsystems();

}  // namespace keldor
