// Host and Origin checks, login tokens, cookies, connection counts, the login
// brake and session expiry.
#include "security.h"

#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace keldorweb {

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool IsLoopback(const std::string& address) {
  return address.starts_with("127.") || address == "localhost" || address == "::1";
}

}  // namespace

HostCheck::HostCheck(const std::string& listenAddress, int port,
                     const std::vector<std::string>& extra) {
  const std::string suffix = ":" + std::to_string(port);
  auto add = [&](const std::string& name) {
    hosts_.push_back(Lower(name.find(':') == std::string::npos ? name + suffix : name));
    // Browsers leave the default port out of Host and Origin.
    if (port == 80) hosts_.push_back(Lower(name));
  };
  if (IsLoopback(listenAddress)) {
    add("localhost");
    add("127.0.0.1");
  }
  if (listenAddress == "::1") {
    hosts_.push_back("[::1]" + suffix);
  } else if (listenAddress != "0.0.0.0" && listenAddress != "localhost" &&
             listenAddress != "127.0.0.1") {
    add(listenAddress);
  }
  for (const std::string& name : extra) add(name);
}

bool HostCheck::HostAllowed(std::string_view host) const {
  const std::string lower = Lower(host);
  return std::find(hosts_.begin(), hosts_.end(), lower) != hosts_.end();
}

bool HostCheck::OriginAllowed(std::string_view origin) const {
  constexpr std::string_view kScheme = "http://";
  if (!origin.starts_with(kScheme)) return false;
  return HostAllowed(origin.substr(kScheme.size()));
}

bool ParseFleetHost(std::string_view text, std::string* host, int* port) {
  *port = 0;
  // A port follows the last colon, unless the colons are a bare IPv6 address's.
  const std::size_t colon = text.rfind(':');
  const bool bareV6 = !text.starts_with('[') && text.find(':') != colon;
  if (colon != std::string_view::npos && !bareV6 && !text.ends_with(']')) {
    const std::string digits(text.substr(colon + 1));
    char* end = nullptr;
    const long value = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || value < 1 || value > 65535) return false;
    *port = static_cast<int>(value);
    text = text.substr(0, colon);
  }
  if (text.size() >= 2 && text.starts_with('[') && text.ends_with(']')) {
    text = text.substr(1, text.size() - 2);
  }
  *host = Lower(text);
  return !host->empty() && host->find_first_of("[]/ ") == std::string::npos;
}

FleetHosts::FleetHosts(const std::string& keldorHost, int keldorPort,
                       const std::vector<std::string>& list) {
  entries_.push_back({Lower(keldorHost), keldorPort});
  for (const std::string& item : list) {
    Entry entry;
    if (ParseFleetHost(item, &entry.host, &entry.port)) entries_.push_back(entry);
  }
}

bool FleetHosts::Allowed(std::string_view host, int port) const {
  const std::string lower = Lower(host);
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return entry.host == lower && (entry.port == 0 || entry.port == port);
  });
}

std::string LoginTokens::Issue(TimePoint now) {
  if (tokens_.size() >= kCapacity) tokens_.pop_front();
  tokens_.emplace_back(RandomToken(), now);
  return tokens_.back().first;
}

bool LoginTokens::Consume(std::string_view token, TimePoint now) {
  while (!tokens_.empty() && now - tokens_.front().second > kLifetime) tokens_.pop_front();
  const auto found = std::find_if(tokens_.begin(), tokens_.end(),
                                  [&](const auto& entry) { return entry.first == token; });
  if (token.empty() || found == tokens_.end()) return false;
  tokens_.erase(found);
  return true;
}

std::string RandomToken() {
  unsigned char bytes[16];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    throw std::runtime_error("no random bytes");
  }
  std::string token;
  for (const unsigned char b : bytes) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    token += hex;
  }
  return token;
}

std::string CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const std::size_t end = std::min(header.find(';'), header.size());
    std::string_view pair = header.substr(0, end);
    header.remove_prefix(std::min(end + 1, header.size()));
    while (pair.starts_with(' ')) pair.remove_prefix(1);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return std::string(pair.substr(equals + 1));
    }
  }
  return {};
}

bool ConnectionCounts::Room(const std::string& address) const {
  if (total_ >= kMaxConnections) return false;
  const auto found = perAddress_.find(address);
  return found == perAddress_.end() || found->second < kMaxConnectionsPerAddress;
}

void ConnectionCounts::Remove(const std::string& address) {
  --total_;
  const auto found = perAddress_.find(address);
  if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
}

LoginBrake::Entry* LoginBrake::Find(const std::string& address) {
  for (Entry& entry : entries_) {
    if (!entry.address.empty() && entry.address == address) return &entry;
  }
  return nullptr;
}

LoginBrake::Entry& LoginBrake::FindOrMake(const std::string& address, TimePoint now) {
  Entry* entry = Find(address);
  if (entry == nullptr) {
    // A locked address or one with logins under way is kept before any
    // other, so that a flood of other addresses cannot lift a lock-out.
    auto rank = [](const Entry& e) {
      const int kind = e.address.empty()              ? 0
                       : e.lockedUntil != TimePoint{} ? 3
                       : e.inFlight > 0               ? 2
                                                      : 1;
      return std::pair{kind, e.lastSeen};
    };
    entry = &*std::min_element(entries_.begin(), entries_.end(),
                               [&](const Entry& a, const Entry& b) { return rank(a) < rank(b); });
    *entry = Entry{address};
  }
  if (entry->lockedUntil != TimePoint{} && now >= entry->lockedUntil) {
    const int inFlight = entry->inFlight;
    *entry = Entry{address};  // the lock-out is over: a clean slate
    entry->inFlight = inFlight;
  }
  entry->lastSeen = now;
  return *entry;
}

LoginBrake::Verdict LoginBrake::Begin(const std::string& address, TimePoint now) {
  Entry& entry = FindOrMake(address, now);
  if (entry.lockedUntil != TimePoint{}) return Verdict::kLocked;
  if (entry.failures > 0 && now >= entry.windowStart + kWindow) entry.failures = 0;
  // Logins under way may all fail: together they stay below the lock-out.
  if (entry.inFlight >= kMaxInFlight || entry.failures + entry.inFlight >= kFailuresBeforeLockout) {
    return Verdict::kBusy;
  }
  ++entry.inFlight;
  return Verdict::kGo;
}

std::chrono::milliseconds LoginBrake::End(const std::string& address, bool failed, TimePoint now) {
  Entry& entry = FindOrMake(address, now);
  if (entry.inFlight > 0) --entry.inFlight;
  if (!failed) return {};
  if (entry.failures == 0 || now >= entry.windowStart + kWindow) {
    entry.failures = 0;
    entry.windowStart = now;
  }
  const auto delay = std::min(kDelayMax, entry.failures * kDelayStep);
  if (++entry.failures >= kFailuresBeforeLockout && entry.lockedUntil == TimePoint{}) {
    entry.lockedUntil = now + kLockout;
  }
  return delay;
}

std::chrono::seconds LoginBrake::LockedFor(const std::string& address, TimePoint now) const {
  for (const Entry& entry : entries_) {
    if (entry.address.empty() || entry.address != address) continue;
    if (entry.lockedUntil == TimePoint{} || now >= entry.lockedUntil) return {};
    // Rounded up: a lock-out never shows as over while it lasts.
    return std::chrono::ceil<std::chrono::seconds>(entry.lockedUntil - now);
  }
  return {};
}

std::string LockoutText(std::chrono::seconds left) {
  const long minutes = std::max<long>(1, (left.count() + 59) / 60);
  return std::string(kLockoutPrefix) + "; try again in " + std::to_string(minutes) +
         (minutes == 1 ? " minute" : " minutes");
}

const char* SessionTimer::Expired(TimePoint now) const {
  if (now - lastActive_ >= idle_) return "idle";
  if (sockets_ == 0 && now - socketGoneSince_ >= grace_) return "closed";
  return nullptr;
}

}  // namespace keldorweb
