#include "client_driver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "core/error.h"
#include "daemon/main_loop.h"
#include "fuzz_support.h"
#include "remote/accounts.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "runtime/job_queue.h"

namespace keldor::fuzz {

namespace {

constexpr int kMostRequests = 256;  // per input; a stream can hold no more in practice
constexpr int kBufferBytes = 1 << 20;

int Listener() {
  static const int fd = [] {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(s, 8) != 0) {
      std::abort();
    }
    return s;
  }();
  return fd;
}

int Pending(int fd) {
  int count = 0;
  return ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

void Drain(int fd) {
  char discard[65536];
  while (recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

void LoadFuzzAccounts() {
  static const std::uint8_t kAccounts[] = "fuzz,fuzz,,4294967295,1\nother,other,,1,1\n";
  const std::string path = WorkDir() + "/useraccess.con";
  WriteBytes(path, kAccounts, sizeof kAccounts - 1);
  LoadUserAccounts(path);
}

void RunClientConnection(const std::uint8_t* data, std::size_t size) {
  sockaddr_in at{};
  socklen_t length = sizeof at;
  getsockname(Listener(), reinterpret_cast<sockaddr*>(&at), &length);
  const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  setsockopt(client, SOL_SOCKET, SO_SNDBUF, &kBufferBytes, sizeof kBufferBytes);
  setsockopt(client, SOL_SOCKET, SO_RCVBUF, &kBufferBytes, sizeof kBufferBytes);
  if (connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) std::abort();
  const int server = accept4(Listener(), nullptr, nullptr, SOCK_CLOEXEC);
  if (server < 0) std::abort();
  setsockopt(server, SOL_SOCKET, SO_RCVBUF, &kBufferBytes, sizeof kBufferBytes);
  // Everything the client says is sent before Keldor reads: inputs are kept
  // within what the socket buffers hold (see the targets' size limit).
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = send(client, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  shutdown(client, SHUT_WR);

  ErrorCode() = 0;
  if (!Authenticate(server)) {
    close(server);
  } else {
    const int slot = FindSlotBySocket(server);
    for (int n = 0; n < kMostRequests && SlotInUse(slot); ++n) {
      Drain(client);
      if (Pending(server) <= 0) break;  // the loop's sign of a closed connection
      HandleRequest(slot);
      EndGivenUpConnections();
      RunDueJobs();
    }
    if (ClientSlots()[slot].socket != 0) EndConnection(slot);
  }
  Drain(client);
  close(client);
  ClearJobQueue();
}

}  // namespace keldor::fuzz
