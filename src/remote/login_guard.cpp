// Failed logins by address and by address and account: see login_guard.h.
#include "remote/login_guard.h"

#include <algorithm>
#include <array>
#include <utility>

#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"
#include "runtime/alerting.h"

namespace keldor {

namespace {

// The failures of one address (`account` false) or of one account name from
// one address.
struct Guarded {
  std::uint32_t peer = 0;
  bool account = false;
  std::string name;  // lower case; empty for the address as a whole
  bool used = false;
  int failures = 0;
  long long windowStart = 0;  // ms of the first failure counted
  long long lockedUntil = 0;  // ms; 0 not locked
  long long lastSeen = 0;
};

struct Noticed {
  std::uint32_t peer = 0;
  Notice notice = Notice::kRefusedWhileLocked;
  bool used = false;
  long long lastLogged = 0;
};

struct GuardState {
  std::array<Guarded, kGuardedEntries> entries;
  std::array<Noticed, kNoticedAddresses> notices;
};

StateTable<GuardState> g_guard;

std::string Key(const std::string& name) {
  std::string key = name;
  return LowerCaseInPlace(key);
}

Guarded* Find(std::uint32_t peer, bool account, const std::string& key) {
  for (Guarded& entry : g_guard->entries) {
    if (entry.used && entry.peer == peer && entry.account == account && entry.name == key) {
      return &entry;
    }
  }
  return nullptr;
}

// The entry, made when missing; `keep` is never the one that makes room.
Guarded& FindOrMake(std::uint32_t peer, bool account, const std::string& key, const Guarded* keep) {
  if (Guarded* entry = Find(peer, account, key)) return *entry;
  // A locked entry is kept before any other, so that a flood of other
  // addresses cannot lift its lockout early.
  auto rank = [keep](const Guarded& e) {
    const int kind = &e == keep ? 3 : !e.used ? 0 : e.lockedUntil != 0 ? 2 : 1;
    return std::pair{kind, e.lastSeen};
  };
  auto& entries = g_guard->entries;
  Guarded& room =
      *std::min_element(entries.begin(), entries.end(),
                        [&](const Guarded& a, const Guarded& b) { return rank(a) < rank(b); });
  room = Guarded{peer, account, key, true};
  return room;
}

// What is left of the entry's lockout; an entry whose lockout is over is forgotten.
long long LeftOf(Guarded* entry, long long nowMs) {
  if (entry == nullptr || entry->lockedUntil == 0) return 0;
  if (nowMs < entry->lockedUntil) return entry->lockedUntil - nowMs;
  *entry = Guarded{};  // the lockout is over: a clean slate
  return 0;
}

// Counts one failure in the entry's window; true when it starts a lockout.
bool Count(Guarded& entry, int limit, long long nowMs) {
  entry.lastSeen = nowMs;
  if (entry.failures == 0 || nowMs >= entry.windowStart + kGuessWindowMs) {
    entry.failures = 0;
    entry.windowStart = nowMs;
  }
  if (++entry.failures < limit || entry.lockedUntil != 0) return false;
  entry.lockedUntil = nowMs + kLockoutMs;
  return true;
}

}  // namespace

long long LockoutLeft(std::uint32_t peer, const std::string& name, long long nowMs) {
  const long long address = LeftOf(Find(peer, false, ""), nowMs);
  const long long account = LeftOf(Find(peer, true, Key(name)), nowMs);
  return std::max(address, account);
}

long long NoteFailedLogin(std::uint32_t peer, const std::string& name, long long nowMs) {
  Guarded& address = FindOrMake(peer, false, "", nullptr);
  Guarded& account = FindOrMake(peer, true, Key(name), &address);
  const long long delay = std::min(kGuessDelayMaxMs, address.failures * kGuessDelayStepMs);
  const long long windowMinutes = kGuessWindowMs / 60000;
  const long long lockoutMinutes = kLockoutMs / 60000;
  if (Count(account, kGuessesBeforeLockout, nowMs)) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! %i failed logins from %s for user account (%s) within %lli "
               "minutes: its logins to that account are refused for %lli minutes.",
               account.failures, FormatIPv4(peer), name.c_str(), windowMinutes, lockoutMinutes);
    RaiseAlert({AlertKind::kSecurity,
                std::string("Logins from ") + FormatIPv4(peer) + " to the account " + name +
                    " are refused for " + std::to_string(lockoutMinutes) +
                    " minutes after repeated failures.",
                {{"address", FormatIPv4(peer)}, {"account", name}}});
  }
  if (Count(address, kGuessesBeforeAddressLockout, nowMs)) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! %i failed logins from %s within %lli minutes: its connections are "
               "refused for %lli minutes.",
               address.failures, FormatIPv4(peer), windowMinutes, lockoutMinutes);
    RaiseAlert({AlertKind::kSecurity,
                std::string("Connections from ") + FormatIPv4(peer) + " are refused for " +
                    std::to_string(lockoutMinutes) + " minutes after repeated failed logins.",
                {{"address", FormatIPv4(peer)}}});
  }
  return delay;
}

void NoteGoodLogin(std::uint32_t peer, const std::string& name) {
  Guarded* account = Find(peer, true, Key(name));
  if (account != nullptr && account->lockedUntil == 0) *account = Guarded{};
}

bool NoticeDue(std::uint32_t peer, Notice notice, long long nowMs) {
  auto& notices = g_guard->notices;
  auto same = [&](const Noticed& n) { return n.used && n.peer == peer && n.notice == notice; };
  auto found = std::find_if(notices.begin(), notices.end(), same);
  if (found != notices.end()) {
    if (nowMs < found->lastLogged + kNoticeIntervalMs) return false;
    found->lastLogged = nowMs;
    return true;
  }
  // The one logged longest ago (or a free one) makes room.
  Noticed& room =
      *std::min_element(notices.begin(), notices.end(), [](const auto& a, const auto& b) {
        return std::pair{a.used, a.lastLogged} < std::pair{b.used, b.lastLogged};
      });
  room = Noticed{peer, notice, true, nowMs};
  return true;
}

}  // namespace keldor
