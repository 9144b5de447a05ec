// The remote client service as the main loop sees it: requests, the job
// runner and what the other subsystems report to the clients.
#pragma once

#include "remote/jobs.h"
#include "remote/notify.h"
#include "wire/protocol.h"

namespace keldor {

// Reads and carries out one request from the client in `slot`.
void HandleRequest(int slot);

// Makes RunJob the command queue's runner and subscribes to the subsystems'
// events, which reach the clients as notifications. Called once at start-up.
void ConnectClientService();

}  // namespace keldor
