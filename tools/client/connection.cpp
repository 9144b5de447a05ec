// The connection to Keldor: handshake, requests and reading its messages with
// a time limit, every layout through the shared protocol encoders.
#include "connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "core/log.h"
#include "core/net.h"
#include "core/owned.h"
#include "wire/protocol.h"
#include "wire/transfer_frame.h"

namespace keldorclient {

using namespace keldor;

namespace {

volatile std::sig_atomic_t g_stop = 0;

std::string TransferErrorText(int code) {
  switch (code) {
    case kErrTransferChecksum:
      return "its checksum does not match (30013).";
    case kErrTransferData:
      return "it does not unpack to the announced size (30012).";
    default:
      return "its header is out of bounds (" + std::to_string(code) + ").";
  }
}

bool IsNoteCode(std::uint32_t word) {
  // A text reply's length never reaches the notification range, so the first
  // word tells the two apart.
  return (word & 0xFFFF0000U) == 0xBEEF0000U;
}

// A connect that gives up after `seconds` (ETIMEDOUT) or on a stop request
// (EINTR); the socket is blocking again afterwards.
bool ConnectWithin(int fd, const sockaddr* address, socklen_t length, int seconds, int* error) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (connect(fd, address, length) != 0) {
    if (errno != EINPROGRESS) {
      *error = errno;
      return false;
    }
    pollfd wait{fd, POLLOUT, 0};
    int ready = 0;
    while ((ready = poll(&wait, 1, seconds * 1000)) < 0 && errno == EINTR && g_stop == 0) {
    }
    if (ready <= 0) {
      *error = ready == 0 ? ETIMEDOUT : errno;
      return false;
    }
    int result = 0;
    socklen_t size = sizeof result;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size) != 0) result = errno;
    if (result != 0) {
      *error = result;
      return false;
    }
  }
  fcntl(fd, F_SETFL, flags);
  return true;
}

}  // namespace

void RequestStop() {
  g_stop = 1;
}

Connection::~Connection() {
  // The number is atomic for Shutdown from another thread; its owner closes it.
  keldor::OwnedFd(socket_.exchange(-1)).Reset();
}

void Connection::Shutdown() {
  if (const int fd = socket_; fd >= 0) shutdown(fd, SHUT_RDWR);
  const std::lock_guard lock(connectingMutex_);
  shut_ = true;
  // A socket still connecting is disconnected, which ends its wait at once.
  if (connecting_ >= 0) shutdown(connecting_, SHUT_RDWR);
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
    keldor::OwnedFd fd(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (fd.get() < 0) {
      lastError = errno;
      continue;
    }
    {
      const std::lock_guard lock(connectingMutex_);
      if (shut_) {
        lastError = ECONNABORTED;
        break;
      }
      connecting_ = fd.get();
    }
    const bool connected = ConnectWithin(fd.get(), a->ai_addr, a->ai_addrlen, timeout_, &lastError);
    {
      const std::lock_guard lock(connectingMutex_);
      connecting_ = -1;
      if (shut_) {
        lastError = ECONNABORTED;
        break;
      }
    }
    if (connected) {
      // A request goes out in more than one send: without this, each would
      // wait for the acknowledgement of the one before (Nagle against
      // Keldor's delayed ACKs, 40 ms a request).
      const int on = 1;
      setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      socket_ = fd.Release();
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
  *outcome = LoginOutcome{};
  const CredentialField name = EncodeCredential(user);
  const CredentialField secret = EncodeCredential(password);
  if (!WriteAll(name.data(), name.size()) || !WriteAll(secret.data(), secret.size())) {
    return false;
  }
  std::uint8_t result = 0;
  if (!ReadExact(&result, 1, timeout_)) return false;
  outcome->answered = true;
  outcome->result = result;
  if (result == kLoginNoRemoteAccess) {
    outcome->lockoutMinutes = ReadLockoutMinutes();
    if (outcome->lockoutMinutes > 0) error_ = LockoutText(outcome->lockoutMinutes);
  }
  if (result != 0) return true;

  LoginGrant grant{};
  if (!ReadExact(grant.data(), grant.size(), timeout_)) return false;
  std::uint8_t version = 0;
  DecodeLoginGrant(grant, &outcome->rights, &version);
  rights_ = outcome->rights;
  outcome->versionMatches = version == PROTOCOL_VERSION;
  // Keldor waits for our version either way; it refuses a mismatch itself.
  const std::uint8_t ours = PROTOCOL_VERSION;
  if (!WriteAll(&ours, 1)) return false;
  if (!outcome->versionMatches) return true;
  std::uint8_t running = 0;
  if (!ReadExact(&running, 1, timeout_)) return false;
  outcome->serverRunning = running != 0;
  return true;
}

int Connection::ReadLockoutMinutes() {
  pollfd wait{socket_, POLLIN, 0};
  int ready = 0;
  while ((ready = poll(&wait, 1, kLockoutByteWaitMs)) < 0 && errno == EINTR && g_stop == 0) {
  }
  if (ready <= 0) return 0;
  std::uint8_t minutes = 0;
  // Nothing (the connection closed) is the plain result: no accounts.
  return recv(socket_, &minutes, 1, 0) == 1 ? minutes : 0;
}

std::string LockoutText(int minutes) {
  return "too many failed logins from this address; try again in " + std::to_string(minutes) +
         (minutes == 1 ? " minute" : " minutes");
}

bool Connection::SendRequest(std::uint32_t code) {
  if (code != REQ_PING) lastRequest_ = code;
  const Word word = EncodeWord(code);
  return WriteAll(word.data(), word.size());
}

bool Connection::SendTextRequest(std::uint32_t code, const std::string& text) {
  lastRequest_ = code;
  const Word word = EncodeWord(code);
  const Word length = EncodeWord(static_cast<std::uint32_t>(text.size() + 1));
  // One send for the whole request: one segment on the wire, not three.
  std::string request(word.begin(), word.end());
  request.append(length.begin(), length.end());
  request.append(text.c_str(), text.size() + 1);
  return WriteAll(request.data(), request.size());
}

bool Connection::ReadWord(std::uint32_t* value, int timeoutSeconds) {
  Word word{};
  if (!ReadExact(word.data(), word.size(), timeoutSeconds)) return false;
  *value = DecodeWord(word);
  return true;
}

bool Connection::ReadNoteRest(std::uint32_t code, Message* message, int timeoutSeconds) {
  *message = Message{};
  message->isNote = true;
  message->code = code;
  std::uint32_t length = 0;
  if (!ReadWord(&length, timeoutSeconds)) return false;
  if (length > kMaxNoteData) {
    error_ = "Keldor announced " + std::to_string(length) + " bytes; the stream is broken.";
    return false;
  }
  if (length == 0) return true;
  std::vector<char> data(length);
  if (!ReadExact(data.data(), data.size(), timeoutSeconds)) return false;
  message->data.assign(data.data(), strnlen(data.data(), data.size()));
  return true;
}

bool Connection::Receive(Message* message, int timeoutSeconds) {
  *message = Message{};
  std::uint32_t length = 0;
  if (!ReadWord(&length, timeoutSeconds)) return false;
  if (IsNoteCode(length)) return ReadNoteRest(length, message, timeoutSeconds);
  if (length > kMaxTextReply) {
    error_ = "Keldor announced " + std::to_string(length) + " bytes; the stream is broken.";
    return false;
  }
  message->emptyReply = length == 0;
  if (length == 0) return true;
  std::vector<char> data(length);
  if (!ReadExact(data.data(), data.size(), timeoutSeconds)) return false;
  message->data.assign(data.data(), strnlen(data.data(), data.size()));
  return true;
}

bool Connection::ReceiveFile(FileReply* reply, int timeoutSeconds,
                             const std::function<bool(const Message&)>& onNote) {
  *reply = FileReply{};
  TransferHeader header;
  for (;;) {
    if (!ReadWord(&header.size, timeoutSeconds)) return false;
    // The failure marker shares the notifications' high half: test it first.
    if (header.size == XFER_FAIL_MARKER) {
      reply->failed = true;
      return true;
    }
    if (!IsNoteCode(header.size)) break;
    Message note;
    if (!ReadNoteRest(header.size, &note, timeoutSeconds)) return false;
    if (note.code == NOTE_PONG) {
      reply->refused = true;
      return true;
    }
    if (!onNote(note)) return false;
  }
  if (header.size == 0) return true;
  if (!ReadWord(&header.packedSize, timeoutSeconds) ||
      !ReadWord(&header.checksum, timeoutSeconds)) {
    return false;
  }
  if (header.packedSize > PackedBound(header.size) || header.size > kMaxFile) {
    error_ = "Keldor announced a file of " + std::to_string(header.size) +
             " bytes; the stream is broken.";
    return false;
  }
  std::string packed(header.packedSize, '\0');
  if (!ReadExact(packed.data(), packed.size(), timeoutSeconds)) return false;
  const int code = DecodeTransfer(header, packed, &reply->content);
  if (code != 0) {
    error_ = "The file arrived damaged: " + TransferErrorText(code);
    return false;
  }
  return true;
}

}  // namespace keldorclient
