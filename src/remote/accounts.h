// User accounts of remote administrators and their access rights.
#pragma once

#include <string>

namespace keldor {

bool LoadUserAccounts(const std::string& path);

}  // namespace keldor
