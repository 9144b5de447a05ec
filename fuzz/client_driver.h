// Drives Keldor's client service the way the main loop does, over a real
// loopback connection. The only file of the fuzz targets that knows how the
// service is entered: when that changes, this is what follows it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keldor::fuzz {

// Accepts a new client connection whose peer sends `data` (the login handshake
// first) and then closes its sending side, and serves it until Keldor is done
// with it. What Keldor answers is read and thrown away. Returns whether a login
// was accepted.
bool RunClientConnection(const std::uint8_t* data, std::size_t size);

// The same for a client that logs in as "fuzz" and then sends `data` as its
// requests. Aborts, saying so, should that login ever be refused.
void RunLoggedInConnection(const std::uint8_t* data, std::size_t size);

// The accounts file with the administrator "fuzz" (password "fuzz", every
// right) and a user "other" with one right, loaded into the table.
void LoadFuzzAccounts();

}  // namespace keldor::fuzz
