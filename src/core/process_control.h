// Signal handling and detaching from the terminal.
#pragma once

namespace keldor {

// Blocks SIGPIPE and installs the SIGTERM, SIGINT and SIGCHLD handlers, which
// only record what happened (see SignalFacts in core/state.h).
void InstallSignalHandlers();

// Records how a reaped child ended, as the SIGCHLD handler does: its exit code
// (or signal) as the game server exit status, and the server-exited flag when
// it was the game server. Async-signal-safe.
void RecordEndedChild(int pid, int status);

// Logs the "DEBUG: Caught ..." lines owed for signals that arrived since the last call.
void LogCaughtSignals();

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that no
// socket can be given one of them (socket 0 stands for Keldor's own slot).
void ReserveStandardDescriptors();

// Detaches from the terminal: two forks, a new session, the server directory as
// working directory, umask 022 and every inherited descriptor closed.
void Daemonize();

}  // namespace keldor
