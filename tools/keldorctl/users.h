// keldorctl's account management, `user list|add|remove|rights|enable|disable`,
// built on the user list download and upload.
#pragma once

#include "commands.h"
#include "connection.h"

namespace keldorctl {

bool CheckUser(const Options& o);
int RunUser(Connection& c, const Options& o);

}  // namespace keldorctl
