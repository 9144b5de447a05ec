// The remote client service as the main loop sees it: requests, the job queue
// and notifications.
#pragma once

#include "remote/notify.h"
#include "remote/protocol.h"

namespace keldor {

constexpr std::uint32_t JOB_BROADCAST = 0xB00B0002;

// Appends a job to the command queue, due `delaySeconds` from now; `actor` is
// the client slot (0 = Keldor itself) on whose behalf it runs.
bool QueueJob(std::uint32_t code, const char* text, int actor, int delaySeconds);

void HandleRequest(int slot);
void RunDueJobs();

}  // namespace keldor
