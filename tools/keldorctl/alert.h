// keldorctl alert test: a test alert from Keldor to every webhook target of
// its alerts.con, to check the targets without waiting for trouble.
#pragma once

#include "commands.h"

namespace keldorctl {

// Checks the command's arguments; false is a usage error with the reason printed.
bool CheckAlert(const Options& options);
// Asks for the test alert and prints how many targets it was queued for; the exit status.
int RunAlert(Connection& c, const Options& options);

}  // namespace keldorctl
