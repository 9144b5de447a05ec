// Signal handling and detaching from the terminal.
#pragma once

#include <csignal>

namespace keldor {

// Facts the signal handlers record; the main loop reads them at the top of each pass.
struct SignalFacts {
  volatile std::sig_atomic_t caughtSignal = 0;
  volatile std::sig_atomic_t sawTerm = 0;  // DEBUG lines owed for caught signals
  volatile std::sig_atomic_t sawInt = 0;
  volatile std::sig_atomic_t sawChld = 0;
};

SignalFacts& Signals();

// Blocks SIGPIPE and installs the SIGTERM, SIGINT and SIGCHLD handlers, which
// only record what happened (see SignalFacts).
void InstallSignalHandlers();

// Logs the "DEBUG: Caught ..." lines owed for signals that arrived since the last call.
void LogCaughtSignals();

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that no
// socket can be given one of them (stray writes to 1 or 2 would reach a peer).
void ReserveStandardDescriptors();

// Detaches from the terminal: two forks, a new session, the server directory as
// working directory, umask 022 and every inherited descriptor closed.
void Daemonize();

}  // namespace keldor
