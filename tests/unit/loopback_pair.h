// Connected TCP pairs on 127.0.0.1 for tests of the client protocol: the
// daemon's end (as accept returns it) and the client's end, both blocking.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "wire/protocol.h"

namespace keldor::testing {

class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 32) != 0) {
      throw std::runtime_error("listen failed");
    }
    socklen_t size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackListener() { close(fd_); }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int port() const { return port_; }

  // Connects a client and accepts it: {daemon end, client end}.
  std::pair<int, int> Pair() const {
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("connect failed");
    }
    const int daemon = accept(fd_, nullptr, nullptr);
    if (daemon < 0) throw std::runtime_error("accept failed");
    return {daemon, client};
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

inline void SendText(int fd, const std::string& bytes) {
  if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("send failed");
  }
}

// Everything that arrives within `seconds` of quiet (the peer has sent it all already).
inline std::string ReceiveAvailable(int fd, double seconds = 0.2) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(seconds * 1000)) <= 0) break;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

// True when the peer has closed its end (after anything still pending was read).
inline bool PeerClosed(int fd, double seconds = 5) {
  char buffer[4096];
  for (;;) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(seconds * 1000)) <= 0) return false;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
  }
}

inline std::string LittleEndian(std::uint32_t value) {
  const Word word = EncodeWord(value);
  return std::string(word.begin(), word.end());
}

}  // namespace keldor::testing
