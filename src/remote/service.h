// The remote client service as the main loop sees it: requests, the job
// runner and what the other subsystems report to the clients.
#pragma once

#include "remote/jobs.h"
#include "remote/notify.h"
#include "runtime/events.h"
#include "wire/protocol.h"

namespace keldor {

struct Connection;

// Serves a logged-in client: writes what it is owed when its socket is
// writable, reads what it has sent when readable, and carries out each complete
// request. A client that closed, broke a request off or cannot take its output
// is given up (the main loop ends it). At most one request is carried out per call.
void ServeClient(Connection& client, bool readable, bool writable);
// True when a complete request of the client waits to be carried out (one is
// carried out per pass); the loop then serves it without waiting.
bool RequestWaiting(const Connection& client);
// Ends the client's connection when its request's deadline has passed or its
// owed output has stalled, sums up the log lines it was spared once their
// minute is over, and gives back the memory of transfers that have finished.
void CheckClientTimer(Connection& client, long long nowMs);

// Tells the clients what a subsystem reported, as a notification (the event
// handler ConnectSubsystems subscribes).
void TellClients(Event event, const char* text);

}  // namespace keldor
