// The listening socket, the select loop and the shutdown sequence.
#pragma once

namespace keldor {

// Opens the listening socket; -1 on success, otherwise the status to exit with.
int OpenListener();

// Runs passes until a signal, a -quit condition or a select failure, then shuts
// down; returns Keldor's exit status.
int RunMainLoop();

}  // namespace keldor
