// The jobs of the command queue: RunJob carries each one out over the console
// link, logs it and tells the clients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/job_queue.h"

namespace keldor {

// Queues JOB_BROADCAST of a notification, so that it reaches the clients in
// the order of the work queued before it.
bool QueueBroadcast(std::uint32_t note);

// Carries out one job (the queue's runner).
void RunJob(const QueuedCommand& job);

// The pieces a message is sent in: at most 63 characters each, cut at the last
// `separator` within reach (which is dropped), or hard at 63 when there is none.
std::vector<std::string> CutIntoPieces(const std::string& text, char separator);

}  // namespace keldor
