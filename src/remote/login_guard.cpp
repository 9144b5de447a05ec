// Failed logins by address: see login_guard.h.
#include "remote/login_guard.h"

#include <algorithm>
#include <array>

#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"

namespace keldor {

namespace {

struct Guarded {
  std::uint32_t peer = 0;
  bool used = false;
  int failures = 0;
  long long windowStart = 0;  // ms of the first failure counted
  long long lockedUntil = 0;  // ms; 0 not locked
  long long lastSeen = 0;
};

using GuardTable = std::array<Guarded, kGuardedAddresses>;

StateTable<GuardTable> g_guard;

Guarded* Find(std::uint32_t peer) {
  for (Guarded& entry : *g_guard) {
    if (entry.used && entry.peer == peer) return &entry;
  }
  return nullptr;
}

Guarded& FindOrMake(std::uint32_t peer) {
  if (Guarded* entry = Find(peer)) return *entry;
  // A locked address is kept before any other, so that a flood of other
  // addresses cannot lift its lockout early.
  auto rank = [](const Guarded& e) {
    return std::pair{e.used ? (e.lockedUntil != 0 ? 2 : 1) : 0, e.lastSeen};
  };
  Guarded& room =
      *std::min_element(g_guard->begin(), g_guard->end(),
                        [&](const Guarded& a, const Guarded& b) { return rank(a) < rank(b); });
  room = Guarded{peer, true};
  return room;
}

}  // namespace

bool LoginRefused(std::uint32_t peer, long long nowMs) {
  Guarded* entry = Find(peer);
  if (entry == nullptr || entry->lockedUntil == 0) return false;
  if (nowMs < entry->lockedUntil) return true;
  *entry = Guarded{};  // the lockout is over: a clean slate
  return false;
}

long long NoteFailedLogin(std::uint32_t peer, long long nowMs) {
  Guarded& entry = FindOrMake(peer);
  entry.lastSeen = nowMs;
  if (entry.failures == 0 || nowMs >= entry.windowStart + kGuessWindowMs) {
    entry.failures = 0;
    entry.windowStart = nowMs;
  }
  const long long delay = std::min(kGuessDelayMaxMs, entry.failures * kGuessDelayStepMs);
  if (++entry.failures >= kGuessesBeforeLockout && entry.lockedUntil == 0) {
    entry.lockedUntil = nowMs + kLockoutMs;
    LogMessage(kLogInfo,
               "SECURITY ALERT! %i failed logins from %s within %lli minutes: its connections are "
               "refused for %lli minutes.",
               entry.failures, FormatIPv4(peer), kGuessWindowMs / 60000, kLockoutMs / 60000);
  }
  return delay;
}

void NoteGoodLogin(std::uint32_t peer) {
  if (Guarded* entry = Find(peer)) *entry = Guarded{};
}

}  // namespace keldor
