// The player statistics log written at each round's end.
#pragma once

#include <string>

namespace keldor {

bool LogPlayerStats(const std::string& path);

}  // namespace keldor
