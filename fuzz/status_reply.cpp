// The status query's replies: the datagram the game answers a query with.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "fuzz_support.h"
#include "gamelink/status_query.h"
#include "runtime/game_server.h"
#include "settings/settings.h"

namespace {

// Answers each query it receives with the current input after the type byte
// and the query's identifier, as the game does.
class Responder {
 public:
  Responder() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
      std::abort();
    }
    port_ = ntohs(at.sin_port);
    std::thread([this] { Serve(); }).detach();
  }
  int port() const { return port_; }
  void SetBody(const std::uint8_t* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    body_.assign(reinterpret_cast<const char*>(data), size);
  }

 private:
  void Serve() {
    for (;;) {
      char request[64];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t got =
          recvfrom(fd_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (got < 7) continue;
      std::string reply(1, '\0');
      reply.append(request + 3, 4);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        reply += body_;
      }
      sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::string body_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  if (size < 1 || size > 40000) return -1;
  static Responder responder;
  fuzz::FreshState();
  StatusReplyBuffer().resize(kStatusReplySize);
  Row(Setting::ServerIP).current = static_cast<std::int32_t>(INADDR_LOOPBACK);
  GameServer().monitoring = true;
  // The first byte chooses the kind of query.
  static const char* const kKinds[] = {"\\info\\", "\\status\\", "\\players\\"};
  responder.SetBody(data + 1, size - 1);
  if (const char* reply = QueryStatus(responder.port(), kKinds[data[0] % 3])) {
    StatusValue(reply, "hostport");
    CurrentMapCombo();
  }
  return 0;
}
