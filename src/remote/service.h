// The remote client service as the main loop and the other subsystems see it:
// the code families, requests, the job queue and notifications.
#pragma once

#include "remote/jobs.h"
#include "remote/notify.h"
#include "remote/protocol.h"

namespace keldor {

// Reads and carries out one request from the client in `slot`.
void HandleRequest(int slot);

}  // namespace keldor
