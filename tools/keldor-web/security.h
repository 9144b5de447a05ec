// The checks that keep other sites and oversized input out of the console:
// which Host and Origin values it answers, the one-use login tokens the page
// carries, the session cookie, the bounds on what a browser may send and hold,
// and the brake on password guessing.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace keldorweb {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// Bounds on what a browser can make the console hold.
constexpr std::size_t kMaxHeaderBytes = 8192;
constexpr std::size_t kMaxLoginBody = 1024;
constexpr std::size_t kMaxSocketMessage = 128 * 1024;  // a whole edited file travels in one
constexpr std::size_t kMaxFileText = 64 * 1024;
constexpr std::size_t kMaxSessions = 16;  // Keldor serves 16 clients at most
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxConnectionsPerAddress = 8;  // one client cannot take every place
// A request's headers and body must have arrived this long after the
// connection became ready for it; an idle keep-alive connection ends then too.
constexpr std::chrono::seconds kRequestDeadline{5};
constexpr std::size_t kMaxPendingMessages = 512;  // to one page, before it is taken as stuck
constexpr std::size_t kMaxCredential = 31;

constexpr const char* kCookieName = "keldor_web";

// The "host:port" names the console answers under. A request under any other
// Host (a DNS rebinding) or from any other Origin (another site) is refused.
class HostCheck {
 public:
  HostCheck() = default;
  // The names for a listening address: loopback is reachable as 127.0.0.1 and
  // localhost; every name in `extra` ("name" or "name:port") is added.
  HostCheck(const std::string& listenAddress, int port, const std::vector<std::string>& extra);
  bool HostAllowed(std::string_view host) const;
  // An Origin is "http://" and an allowed host; a missing Origin is refused.
  bool OriginAllowed(std::string_view origin) const;
  const std::vector<std::string>& Hosts() const { return hosts_; }

 private:
  std::vector<std::string> hosts_;  // lower case
};

// The Keldors a session may switch its link to: the one given by --keldor,
// and the hosts given by --fleet-hosts ("host" for any port, "host:port",
// "[v6]" or "[v6]:port"). A row of the fleet database only names a server;
// the browser's credentials go to its endpoint only when it is listed here.
class FleetHosts {
 public:
  FleetHosts() = default;
  FleetHosts(const std::string& keldorHost, int keldorPort, const std::vector<std::string>& list);
  // Whether `host` (as the database spells it, compared without regard to
  // case) and `port` are listed.
  bool Allowed(std::string_view host, int port) const;

 private:
  struct Entry {
    std::string host;  // lower case, without brackets
    int port = 0;      // 0: any
  };
  std::vector<Entry> entries_;
};

// One --fleet-hosts entry: the host in lower case and the port (0: any);
// false when it is not one.
bool ParseFleetHost(std::string_view text, std::string* host, int* port);

// Tokens issued with the page and echoed by its login; each serves once and
// only for a while, and only the newest kCapacity are remembered.
class LoginTokens {
 public:
  static constexpr std::size_t kCapacity = 256;
  static constexpr std::chrono::seconds kLifetime{3600};
  std::string Issue(TimePoint now);
  bool Consume(std::string_view token, TimePoint now);

 private:
  std::deque<std::pair<std::string, TimePoint>> tokens_;
};

// 128 random bits as 32 hexadecimal digits.
std::string RandomToken();
// The value of cookie `name` in a Cookie header, "" when absent.
std::string CookieValue(std::string_view header, std::string_view name);

// Open connections (pages and WebSockets), in all and per client address.
class ConnectionCounts {
 public:
  bool Room(const std::string& address) const;
  void Add(const std::string& address) {
    ++total_;
    ++perAddress_[address];
  }
  void Remove(const std::string& address);

 private:
  std::size_t total_ = 0;
  std::map<std::string, std::size_t> perAddress_;  // no entry at zero: bounded by the total
};

// Failed logins per browser address. Every login reaches Keldor from this
// host, so Keldor's own lock-out would shut out every administrator here: a
// guesser is slowed and then refused before that, and other addresses are
// never affected. A success forgets nothing, or a guesser with an account of
// its own could clear its count between guesses.
class LoginBrake {
 public:
  // Kept below Keldor's 8, so that one browser address never reaches it.
  static constexpr int kFailuresBeforeLockout = 5;
  static constexpr std::chrono::minutes kWindow{10};
  static constexpr std::chrono::minutes kLockout{10};
  // The n-th failure within the window is answered (n - 1) steps after its
  // login arrived, at most kDelayMax.
  static constexpr std::chrono::milliseconds kDelayStep{500};
  static constexpr std::chrono::milliseconds kDelayMax{4000};
  static constexpr int kMaxInFlight = 2;         // logins of one address waiting for Keldor
  static constexpr std::size_t kCapacity = 256;  // the one least recently seen makes room

  enum class Verdict { kGo, kBusy, kLocked };
  // Whether a login from `address` may go to Keldor now; kGo counts it in
  // flight until End. kBusy: as many as may still fail are already waiting.
  Verdict Begin(const std::string& address, TimePoint now);
  // The outcome of a login that went; for a failure, how long after the
  // login's start its answer is held.
  std::chrono::milliseconds End(const std::string& address, bool failed, TimePoint now);
  // How long `address` is still refused; zero when it is not.
  std::chrono::seconds LockedFor(const std::string& address, TimePoint now) const;

 private:
  struct Entry {
    std::string address;  // empty: unused
    int failures = 0;
    int inFlight = 0;
    TimePoint windowStart{};
    TimePoint lockedUntil{};  // the epoch: not locked
    TimePoint lastSeen{};
  };
  Entry* Find(const std::string& address);
  Entry& FindOrMake(const std::string& address, TimePoint now);

  std::array<Entry, kCapacity> entries_;
};

// The refusal of a locked-out address, worded as Keldor's own (which the
// client library reports for Keldor's lock-out).
constexpr std::string_view kLockoutPrefix = "too many failed logins from this address";
std::string LockoutText(std::chrono::seconds left);

// When a session ends by itself: after `idle` without anything the person did,
// or `grace` after its page's socket went away (or was never opened).
class SessionTimer {
 public:
  SessionTimer(std::chrono::seconds idle, std::chrono::seconds grace, TimePoint now)
      : idle_(idle), grace_(grace), lastActive_(now), socketGoneSince_(now) {}
  void Touch(TimePoint now) { lastActive_ = now; }
  void SocketOpened() { ++sockets_; }
  void SocketClosed(TimePoint now) {
    if (sockets_ > 0 && --sockets_ == 0) socketGoneSince_ = now;
  }
  // Why the session is over, or nullptr while it lives.
  const char* Expired(TimePoint now) const;

 private:
  std::chrono::seconds idle_;
  std::chrono::seconds grace_;
  TimePoint lastActive_;
  TimePoint socketGoneSince_;
  int sockets_ = 0;
};

}  // namespace keldorweb
