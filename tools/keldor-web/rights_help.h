// The web console's help on rights: the table the page shows, written from
// the wire library's table so that it says what Keldor checks.
#pragma once

#include <string>

namespace keldorweb {

// An HTML table, one row per right (carrying its bit in data-bit, so that the
// page can mark the account's own), then the requests any account may send
// and those only the administrator may.
std::string RightsHelpHtml();

}  // namespace keldorweb
