// What each bit of an account's rights mask allows, and which right each
// request needs: the one table that help texts, manual pages, the web
// console's help and the clients' refusal messages are written from. Nothing
// here touches the daemon's state.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace keldor {

constexpr std::uint32_t kAdminRights = 0xFFFFFFFF;

struct Right {
  std::uint32_t bit;
  char letter;         // its letter in the access text; '\0' for the rights shown as a number
  const char* name;    // a few words: "maps"
  const char* allows;  // one line for an operator
};

// The eighteen rights, bit 0 first.
std::span<const Right> AllRights();
// The right with exactly this bit, or null.
const Right* FindRight(std::uint32_t bit);

// What a request needs: any one of the bits of `anyOf` (0: any account may
// send it), or the whole administrator mask.
struct RequestRight {
  std::uint32_t anyOf = 0;
  bool adminOnly = false;
};
// False for a code that is not a request.
bool RequestNeeds(std::uint32_t request, RequestRight* needs);
// Whether an account with `rights` may send the request; Keldor checks the same.
bool RightsAllow(std::uint32_t rights, std::uint32_t request);
// The names of the requests `bit` allows (alone or as one of their
// alternatives), of those any account may send, and of those only the
// administrator may send; each list joined by ", ".
std::string RequestsCovered(std::uint32_t bit);
std::string RequestsForAnyAccount();
std::string RequestsForTheAdministrator();

// "M", or "0x1000" for a right without a letter.
std::string RightKey(const Right& right);
// "M (maps)", "0x1000 (start, stop and pause the game server)".
std::string RightLabel(const Right& right);
// "the right P (players) or B (bans)", "the administrator's mask", "no right"
// (any account); empty for a code that is not a request.
std::string NeededText(std::uint32_t request);

}  // namespace keldor
