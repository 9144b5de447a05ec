// The remote client service as the main loop sees it: requests, the job queue
// and notifications.
#pragma once

#include "remote/notify.h"
#include "remote/protocol.h"

namespace keldor {

void HandleRequest(int slot);
void RunDueJobs();

}  // namespace keldor
