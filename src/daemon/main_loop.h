// The listening socket, the select loop and the shutdown sequence.
#pragma once

namespace keldor {

// Opens the listening socket; -1 on success, otherwise the status to exit with.
int OpenListener();

// The listening socket's descriptor, -1 before OpenListener succeeded.
int ListenerDescriptor();

// Runs passes until a signal, a -quit condition or a select failure, then shuts
// down; returns Keldor's exit status.
int RunMainLoop();

// Ends connection `id` (a client slot 1..16, or a login in progress
// kFirstLoginId..kLastLoginId): writes what it is owed as far as the socket
// takes it now, closes its socket (unless the descriptor is no longer ours),
// frees the slot or login and so leaves the watched set. The one place where a
// client connection ends.
void EndConnection(int id);

// Ends every connection the client service has given up on (EndConnectionSoon,
// ForgetConnection); the loop calls it after each step that may give up on one.
void EndGivenUpConnections();

}  // namespace keldor
