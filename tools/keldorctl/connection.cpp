// The connection to Keldor: handshake, requests and reading its messages with
// a time limit, every layout through the shared protocol encoders.
#include "connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "core/net.h"
#include "remote/protocol.h"

namespace keldorctl {

using namespace keldor;

namespace {

volatile std::sig_atomic_t g_stop = 0;

bool IsNoteCode(std::uint32_t word) {
  // A text reply's length never reaches the notification range, so the first
  // word tells the two apart.
  return (word & 0xFFFF0000U) == 0xBEEF0000U;
}

}  // namespace

void RequestStop() {
  g_stop = 1;
}

Connection::~Connection() {
  if (socket_ >= 0) close(socket_);
}

bool Connection::Open(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int lookup = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (lookup != 0) {
    error_ = "Couldn't resolve " + host + ": " + gai_strerror(lookup);
    return false;
  }
  int lastError = 0;
  for (addrinfo* a = found; a != nullptr && socket_ < 0; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      socket_ = fd;
    } else {
      lastError = errno;
      close(fd);
    }
  }
  freeaddrinfo(found);
  if (socket_ < 0) {
    error_ = "Couldn't connect to " + host + ":" + service + ": " + std::strerror(lastError);
    return false;
  }
  return true;
}

bool Connection::WriteAll(const void* buffer, std::size_t size) {
  if (SendAll(socket_, buffer, size)) return true;
  error_ = std::string("The connection broke while sending: ") + std::strerror(errno);
  return false;
}

bool Connection::ReadExact(void* buffer, std::size_t size, int timeoutSeconds) {
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  std::size_t got = 0;
  while (got < size) {
    if (g_stop != 0) {
      interrupted_ = true;
      error_ = "Interrupted.";
      return false;
    }
    pollfd wait{socket_, POLLIN, 0};
    const int timeoutMs = timeoutSeconds == kWaitForever ? -1 : timeoutSeconds * 1000;
    const int ready = poll(&wait, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      error_ = std::string("The connection broke: ") + std::strerror(errno);
      return false;
    }
    if (ready == 0) {
      error_ = "Keldor did not answer in time.";
      return false;
    }
    const ssize_t n = recv(socket_, bytes + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n == 0 ? "Keldor closed the connection."
                      : std::string("The connection broke: ") + std::strerror(errno);
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool Connection::Login(const std::string& user, const std::string& password,
                       LoginOutcome* outcome) {
  constexpr int kHandshakeSeconds = 10;
  *outcome = LoginOutcome{};
  const CredentialField name = EncodeCredential(user);
  const CredentialField secret = EncodeCredential(password);
  if (!WriteAll(name.data(), name.size()) || !WriteAll(secret.data(), secret.size())) {
    return false;
  }
  std::uint8_t result = 0;
  if (!ReadExact(&result, 1, kHandshakeSeconds)) return false;
  outcome->answered = true;
  outcome->result = result;
  if (result != 0) return true;

  LoginGrant grant{};
  if (!ReadExact(grant.data(), grant.size(), kHandshakeSeconds)) return false;
  std::uint8_t version = 0;
  DecodeLoginGrant(grant, &outcome->rights, &version);
  outcome->versionMatches = version == PROTOCOL_VERSION;
  // Keldor waits for our version either way; it refuses a mismatch itself.
  const std::uint8_t ours = PROTOCOL_VERSION;
  if (!WriteAll(&ours, 1)) return false;
  if (!outcome->versionMatches) return true;
  std::uint8_t running = 0;
  if (!ReadExact(&running, 1, kHandshakeSeconds)) return false;
  outcome->serverRunning = running != 0;
  return true;
}

bool Connection::SendRequest(std::uint32_t code) {
  const Word word = EncodeWord(code);
  return WriteAll(word.data(), word.size());
}

bool Connection::SendTextRequest(std::uint32_t code, const std::string& text) {
  const Word word = EncodeWord(code);
  const Word length = EncodeWord(static_cast<std::uint32_t>(text.size() + 1));
  return WriteAll(word.data(), word.size()) && WriteAll(length.data(), length.size()) &&
         WriteAll(text.c_str(), text.size() + 1);
}

bool Connection::Receive(Message* message, int timeoutSeconds) {
  *message = Message{};
  Word first{};
  if (!ReadExact(first.data(), first.size(), timeoutSeconds)) return false;
  const std::uint32_t word = DecodeWord(first);
  std::uint32_t length = word;
  if (IsNoteCode(word)) {
    message->isNote = true;
    message->code = word;
    Word size{};
    if (!ReadExact(size.data(), size.size(), timeoutSeconds)) return false;
    length = DecodeWord(size);
  }
  const std::uint32_t limit = message->isNote ? kMaxNoteData : kMaxTextReply;
  if (length > limit) {
    error_ = "Keldor announced " + std::to_string(length) + " bytes; the stream is broken.";
    return false;
  }
  message->emptyReply = !message->isNote && length == 0;
  if (length == 0) return true;
  std::vector<char> data(length);
  if (!ReadExact(data.data(), data.size(), timeoutSeconds)) return false;
  message->data.assign(data.data(), strnlen(data.data(), data.size()));
  return true;
}

}  // namespace keldorctl
