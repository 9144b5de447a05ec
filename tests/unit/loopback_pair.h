// Connected TCP pairs on 127.0.0.1 for tests of the client protocol: the
// daemon's end (as accept returns it) and the client's end, both blocking.
#pragma once

#include <poll.h>

#include <string>
#include <utility>

#include "test_support.h"
#include "wire/protocol.h"

namespace keldor::testing {

class LoopbackListener {
 public:
  LoopbackListener() : fd_(BindLoopback(SOCK_STREAM)) {
    if (fd_ < 0 || listen(fd_, 32) != 0) throw std::runtime_error("listen failed");
  }
  ~LoopbackListener() { close(fd_); }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int port() const { return LocalPort(fd_); }

  // Connects a client and accepts it: {daemon end, client end}.
  std::pair<int, int> Pair() const {
    const int client = ConnectLoopback(port());
    const int daemon = client < 0 ? -1 : accept(fd_, nullptr, nullptr);
    if (daemon < 0) throw std::runtime_error("connect or accept failed");
    return {daemon, client};
  }

 private:
  int fd_;
};

inline void SendText(int fd, const std::string& bytes) {
  if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("send failed");
  }
}

// Reads what arrives until `seconds` pass without more; true when the peer closed.
inline bool Drain(int fd, std::string& bytes, double seconds) {
  char buffer[4096];
  for (;;) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(seconds * 1000)) <= 0) return false;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

// Everything that arrives within `seconds` of quiet (the peer has sent it all already).
inline std::string ReceiveAvailable(int fd, double seconds = 0.2) {
  std::string bytes;
  Drain(fd, bytes, seconds);
  return bytes;
}

// True when the peer has closed its end (after anything still pending was read).
inline bool PeerClosed(int fd, double seconds = 5) {
  std::string ignored;
  return Drain(fd, ignored, seconds);
}

}  // namespace keldor::testing
