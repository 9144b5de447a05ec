// The jobs of the command queue as the client service carries them out: each
// is one call of the subsystem that owns its action, and the call's outcome is
// told to the clients.
#pragma once

#include <cstdint>

#include "runtime/job_queue.h"

namespace keldor {

// Queues JOB_BROADCAST of a notification, so that it reaches the clients in
// the order of the work queued before it.
bool QueueBroadcast(std::uint32_t note);

// Carries out one job (the queue's runner).
void RunJob(const QueuedCommand& job);

}  // namespace keldor
