// The checks that keep other sites and oversized input out of the console:
// which Host and Origin values it answers, the one-use login tokens the page
// carries, the session cookie, and the bounds on what a browser may send.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
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
