// keldorctl fleet: the one command that reads the fleet database instead of
// talking to a Keldor, so it runs without a login.
#pragma once

#include "commands.h"

namespace keldorctl {

constexpr const char* kFleetCommand = "fleet";

// Checks the command's arguments; false is a usage error with the reason printed.
bool CheckFleet(const Options& options);
// Prints the fleet; the exit status.
int RunFleet(const Options& options);

}  // namespace keldorctl
