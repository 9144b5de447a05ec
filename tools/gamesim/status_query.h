// The UDP status query: a 10-byte request, answered with one datagram of
// zero-terminated strings in an information, a player and a team section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "server.h"

namespace gamesim {

constexpr std::size_t kStatusRequestSize = 10;
constexpr std::size_t kMaxStatusReply = 32768;

// The reply to one request datagram, or nothing for a datagram that is not a
// status request (wrong size or header) or while the server plays hung.
std::optional<std::vector<std::uint8_t>> BuildStatusReply(const Server& server,
                                                          const std::uint8_t* request,
                                                          std::size_t size);

}  // namespace gamesim
