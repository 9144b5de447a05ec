// The remote client service as the main loop sees it: requests, the job queue
// and notifications.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keldor {

constexpr std::uint32_t NOTE_DISCONNECT = 0xBEEF0002;
constexpr std::uint32_t NOTE_SERVER_STARTED = 0xBEEF0003;
constexpr std::uint32_t NOTE_SERVER_STOPPED = 0xBEEF0004;

constexpr std::uint32_t JOB_BROADCAST = 0xB00B0002;

// Appends a job to the command queue, due `delaySeconds` from now; `actor` is
// the client slot (0 = Keldor itself) on whose behalf it runs.
bool QueueJob(std::uint32_t code, const char* text, int actor, int delaySeconds);

void HandleRequest(int slot);
void RunDueJobs();
bool NotifyClient(int slot, std::uint32_t code, const void* data, std::size_t size);

}  // namespace keldor
