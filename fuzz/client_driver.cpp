#include "client_driver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "daemon/main_loop.h"
#include "fuzz_support.h"
#include "remote/accounts.h"
#include "remote/connection_io.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "runtime/job_queue.h"
#include "wire/protocol.h"

namespace keldor::fuzz {

namespace {

constexpr int kMostRequests = 256;  // per input; a stream can hold no more in practice
constexpr int kBufferBytes = 1 << 20;

// A failure of the harness's own plumbing, told apart from a finding in Keldor.
[[noreturn]] void HarnessFailed(const char* what) {
  std::fprintf(stderr, "fuzz harness: %s failed: %s\n", what, std::strerror(errno));
  std::abort();
}

int Listener() {
  static const int fd = [] {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(s, 8) != 0) {
      HarnessFailed("listen");
    }
    return s;
  }();
  return fd;
}

// libFuzzer's timeout alarm (SIGALRM, installed without SA_RESTART) can land
// while a blocking call waits on a loaded machine: the call then fails with
// EINTR, which is no fault of the input. An interrupted connect goes on in the
// kernel, so its outcome is waited for rather than asked for again.
void ConnectOrFail(int fd, const sockaddr_in& at) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) return;
  if (errno != EINTR) HarnessFailed("connect");
  pollfd ready{fd, POLLOUT, 0};
  while (poll(&ready, 1, -1) < 0) {
    if (errno != EINTR) HarnessFailed("poll");
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) HarnessFailed("getsockopt");
  errno = error;
  if (error != 0) HarnessFailed("connect");
}

void Drain(int fd) {
  char discard[65536];
  while (recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0) {
  }
}

bool LoginOpen(const Connection& c) {
  return c.state == ConnectionState::kHandshake && c.ending == SlotEnding::kNo;
}

// Passes of the main loop over every connection, each taken as readable and
// writable (the peer has sent everything and closed its side). A held login
// answer is let out at once by moving the pinned clock to its time.
// Returns whether a login was accepted (a client slot was taken).
bool ServeUntilDone(int client) {
  bool seated = false;
  for (int pass = 0; pass < kMostRequests; ++pass) {
    Drain(client);
    bool open = false;
    for (Connection& c : Connections()) {
      if (LoggedIn(c)) {
        open = seated = true;
        ServeClient(c, true, true);
        CheckClientTimer(c, MonotonicMilliseconds());
        EndGivenUpConnections();
      } else if (LoginOpen(c)) {
        open = true;
        if (!FlushOutput(c.fd.get(), c.io)) c.ending = SlotEnding::kClose;
        ServeLogin(c, true);  // an accepted login moves to its slot, served next pass
        if (LoginOpen(c) && c.handshake.step == LoginStep::kAnswerHeld) {
          const long long wait = c.handshake.answerAt - MonotonicMilliseconds();
          if (wait > 0) AdvanceClock(static_cast<std::time_t>(wait / 1000 + 1));
          CheckLoginTimer(c, MonotonicMilliseconds());
        }
        EndGivenUpConnections();
      }
    }
    RunDueJobs();
    EndGivenUpConnections();
    if (!open) break;
  }
  for (Connection& c : Connections()) EndConnection(c);
  return seated;
}

}  // namespace

void LoadFuzzAccounts() {
  // Where a login looks for it: the settings directory.
  const std::string path = SettingsPath("useraccess.con");
  // Given in plain text once; the file it is rewritten to (enciphered, with the
  // fixed filler) is what every later input starts from, so that loading it
  // does not rewrite it each time.
  static const std::string enciphered = [&path] {
    static const std::uint8_t kAccounts[] = "fuzz,fuzz,,4294967295,1\nother,other,,1,1\n";
    WriteBytes(path, kAccounts, sizeof kAccounts - 1);
    LoadUserAccounts(path);
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  WriteBytes(path, reinterpret_cast<const std::uint8_t*>(enciphered.data()), enciphered.size());
  LoadUserAccounts(path);
}

bool RunClientConnection(const std::uint8_t* data, std::size_t size) {
  sockaddr_in at{};
  socklen_t length = sizeof at;
  getsockname(Listener(), reinterpret_cast<sockaddr*>(&at), &length);
  const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  setsockopt(client, SOL_SOCKET, SO_SNDBUF, &kBufferBytes, sizeof kBufferBytes);
  setsockopt(client, SOL_SOCKET, SO_RCVBUF, &kBufferBytes, sizeof kBufferBytes);
  ConnectOrFail(client, at);
  int server;
  do {
    server = accept4(Listener(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (server < 0 && errno == EINTR);
  if (server < 0) HarnessFailed("accept");
  setsockopt(server, SOL_SOCKET, SO_RCVBUF, &kBufferBytes, sizeof kBufferBytes);
  // Keldor's close of this side ends the connection with a reset. Closed in the
  // ordinary way, the client's port would wait out TIME_WAIT, and thousands of
  // inputs a second use up every local port within seconds (connect then fails).
  const linger reset{1, 0};
  setsockopt(server, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  // Everything the client says is sent before Keldor reads: inputs are kept
  // within what the socket buffers hold (see the targets' size limit).
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = send(client, data + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  shutdown(client, SHUT_WR);

  ErrorCode() = 0;
  const bool seated = Authenticate(OwnedFd(server)) && ServeUntilDone(client);
  Drain(client);
  close(client);
  ClearJobQueue();
  return seated;
}

void RunLoggedInConnection(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> stream;
  for (const char* text : {"fuzz", "fuzz"}) {
    const CredentialField field = EncodeCredential(text);
    stream.insert(stream.end(), field.begin(), field.end());
  }
  stream.push_back(PROTOCOL_VERSION);
  stream.insert(stream.end(), data, data + size);
  // The credentials are right whatever the input: a refusal means the harness
  // no longer matches how Keldor checks a login, and every input would be
  // spent on the refusal instead of the requests.
  if (!RunClientConnection(stream.data(), stream.size())) {
    std::fprintf(stderr, "fuzz harness: the login of \"fuzz\" was refused\n");
    std::abort();
  }
}

}  // namespace keldor::fuzz
