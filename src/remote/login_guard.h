// Slows down and then shuts out password guessing. Failures are counted per
// address and per address and account name: guessing at one account shuts that
// account out for the address, and failures spread over many names shut the
// whole address out. Each failed login from an address is answered later than
// the one before. A good login forgets only that account's failures from the
// address, never the address's own count and never a lockout, so logging in to
// an account of one's own does not buy more guesses at another. Other
// addresses are never affected, and a single attempt sees the usual result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace keldor {

// The n-th failure from an address within the window is answered after
// (n - 1) steps, at most kGuessDelayMaxMs.
constexpr long long kGuessDelayStepMs = 500;
constexpr long long kGuessDelayMaxMs = 4000;
// This many failures under one account name within the window shut that
// account out for the address for kLockoutMs.
constexpr int kGuessesBeforeLockout = 8;
// This many failures over all names within the window shut the address out:
// a few mistyped names do not, a spray over the accounts soon does.
constexpr int kGuessesBeforeAddressLockout = 24;
constexpr long long kGuessWindowMs = 10 * 60 * 1000;
constexpr long long kLockoutMs = 10 * 60 * 1000;
// Addresses and (address, account) pairs remembered at once; the one least
// recently seen makes room, a locked one last.
constexpr std::size_t kGuardedEntries = 128;
// A line about the same address and matter is logged at most this often, so
// that a flood of connections cannot flood the log.
constexpr long long kNoticeIntervalMs = 60 * 1000;
constexpr std::size_t kNoticedAddresses = 16;

// Milliseconds for which logins from `peer` (IPv4, host order) under `name`
// (any letter case) are refused; 0 when they may go on.
long long LockoutLeft(std::uint32_t peer, const std::string& name, long long nowMs);
// Counts a failed login from `peer` under `name` and returns how long (ms) its
// answer waits. Logs a security alert when this failure starts a lockout.
long long NoteFailedLogin(std::uint32_t peer, const std::string& name, long long nowMs);
// A successful login from `peer` under `name` forgets that account's failures
// from the address; a lockout stays.
void NoteGoodLogin(std::uint32_t peer, const std::string& name);

// The matters whose log lines are limited per address.
enum class Notice { kRefusedWhileLocked, kTooManyLogins };
// True when a line about `peer` on this matter may be logged now (and counts it as logged).
bool NoticeDue(std::uint32_t peer, Notice notice, long long nowMs);

}  // namespace keldor
