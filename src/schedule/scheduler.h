// Timed start, stop and restart events.
#pragma once

#include <string>

namespace keldor {

bool LoadSchedule(const std::string& path);

}  // namespace keldor
