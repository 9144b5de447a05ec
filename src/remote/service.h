// The remote client service as the main loop sees it: requests, the job queue
// and notifications.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keldor {

constexpr std::uint32_t NOTE_DISCONNECT = 0xBEEF0002;

void HandleRequest(int slot);
void RunDueJobs();
bool NotifyClient(int slot, std::uint32_t code, const void* data, std::size_t size);

}  // namespace keldor
