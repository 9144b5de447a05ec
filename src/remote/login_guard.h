// Slows down and then shuts out an address that guesses passwords: each failed
// login from it is answered later than the one before, and past a number of
// failures within a window its connections are refused for a while. Other
// addresses are never affected, and a single attempt sees the usual result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keldor {

// The n-th failure from an address within the window is answered after
// (n - 1) steps, at most kGuessDelayMaxMs.
constexpr long long kGuessDelayStepMs = 500;
constexpr long long kGuessDelayMaxMs = 4000;
// This many failures within the window shut the address out for kLockoutMs.
constexpr int kGuessesBeforeLockout = 8;
constexpr long long kGuessWindowMs = 10 * 60 * 1000;
constexpr long long kLockoutMs = 10 * 60 * 1000;
// Addresses remembered at once; the one least recently seen makes room.
constexpr std::size_t kGuardedAddresses = 64;

// True while connections from `peer` (IPv4, host order) are refused.
bool LoginRefused(std::uint32_t peer, long long nowMs);
// Counts a failed login from `peer` and returns how long (ms) its answer waits.
// Logs a security alert when this failure shuts the address out.
long long NoteFailedLogin(std::uint32_t peer, long long nowMs);
// A successful login from `peer` forgets its failures.
void NoteGoodLogin(std::uint32_t peer);

}  // namespace keldor
