// The listening socket, the select loop and the shutdown sequence.
#pragma once

namespace keldor {

struct Connection;

// What a start-up step or a pass of the loop returns when Keldor goes on;
// anything else is the status to exit with.
constexpr int kKeepGoing = -1;

// Opens the listening socket; kKeepGoing on success, otherwise the status to exit with.
int OpenListener();

// The listening socket's descriptor, -1 before OpenListener succeeded.
int ListenerDescriptor();

// Runs passes until a signal, a -quit condition or a select failure, then shuts
// down; returns Keldor's exit status.
int RunMainLoop();

// Ends a client connection (logged in or still logging in): writes what it is
// owed as far as the socket takes it now, closes its socket (unless the
// descriptor is no longer ours), logs the disconnection of a logged-in client
// and frees its place, and so leaves the watched set. The one place where a
// client connection ends.
void EndConnection(Connection& connection);

// Ends every connection the client service has given up on (EndConnectionSoon,
// ForgetConnection); the loop calls it after each step that may give up on one.
void EndGivenUpConnections();

}  // namespace keldor
