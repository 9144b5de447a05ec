// The web console's help on rights: the table the page shows, written from
// the wire library's table so that it says what Keldor checks, and the
// request behind each of the page's commands, so that the page can disable
// what the account may not do and the link can refuse it unsent.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace keldorweb {

// An HTML table, one row per right (carrying its bit in data-bit, so that the
// page can mark the account's own), then the requests any account may send
// and those only the administrator may.
std::string RightsHelpHtml();

// The request a page command sends to Keldor: `op` as the page names it, and
// for "get" and "put" the file's name. 0 for a command that sends none (or
// one the link does not know).
std::uint32_t RequestOfCommand(const std::string& op, const std::string& file);

// The page's actions an account with `rights` may not take, each with the
// reason the page shows: {"next-map": "Needs the right M (maps).", ...}. A
// file action is keyed "get:rotation", "put:rotation".
nlohmann::json RefusedActions(std::uint32_t rights);

}  // namespace keldorweb
