// The rights of accounts as keldorctl explains them: the table of `keldorctl
// rights` and `keldorctl help rights`, each command's help with its rights
// named, and refusals that name the right a request needs.
#pragma once

#include <cstdint>
#include <string>

#include "commands.h"

namespace keldorctl {

// The table, marking the rights this account holds.
int RunRights(Connection& c, const Options& o);
// A command's help text with every right it mentions named; the rights
// command's help carries the whole table.
std::string CommandDetails(const Command& command);
// Why Keldor did not carry out `request` for an account with `rights`.
std::string RefusalText(std::uint32_t rights, std::uint32_t request);

}  // namespace keldorctl
