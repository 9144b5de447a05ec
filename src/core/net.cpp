// SendAll and ReceiveExact.
#include "core/net.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdint>

#include "core/error.h"

namespace keldor {

namespace {

constexpr int kMaxIdleWakeUps = 3;  // a fourth wake-up in a row without data gives up

// Waits up to one second for the socket to become readable: 1 ready, 0 timed
// out, -1 failed (errno set).
int WaitReadable(int socket) {
  // select() cannot watch a descriptor beyond its set; refuse rather than overrun it.
  if (socket < 0 || socket >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval timeout{1, 0};
    const int ready = select(socket + 1, &readable, nullptr, nullptr, &timeout);
    if (ready < 0 && errno == EINTR) continue;  // a signal is not the peer's doing
    return ready;
  }
}

bool FailWith(int code) {
  errno = code;
  return Fail(code);
}

}  // namespace

bool SendAll(int socket, const void* buffer, std::size_t length) {
  if (length == 0) return true;
  if (buffer == nullptr) {
    errno = EINVAL;
    return false;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::size_t sent = 0;
  while (sent < length) {
    // MSG_NOSIGNAL: a peer that went away must give EPIPE, never kill the process.
    const ssize_t n = send(socket, bytes + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool SendAll(int socket, const void* head, std::size_t headLength, const void* body,
             std::size_t bodyLength) {
  if ((head == nullptr && headLength > 0) || (body == nullptr && bodyLength > 0)) {
    errno = EINVAL;
    return false;
  }
  iovec pieces[2] = {{const_cast<void*>(head), headLength}, {const_cast<void*>(body), bodyLength}};
  iovec* next = pieces;
  std::size_t count = 2;
  while (count > 0) {
    if (next->iov_len == 0) {
      ++next;
      --count;
      continue;
    }
    msghdr message{};
    message.msg_iov = next;
    message.msg_iovlen = count;
    const ssize_t n = sendmsg(socket, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    // Step past what went out; what is left of a piece goes in the next write.
    for (auto sent = static_cast<std::size_t>(n); sent > 0;) {
      const std::size_t taken = sent < next->iov_len ? sent : next->iov_len;
      next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + taken;
      next->iov_len -= taken;
      sent -= taken;
      if (next->iov_len == 0 && sent > 0) {
        ++next;
        --count;
      }
    }
  }
  return true;
}

bool ReceiveExact(int socket, void* buffer, std::size_t length) {
  if (length == 0) return true;
  if (buffer == nullptr) return FailWith(EINVAL);
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  std::size_t got = 0;
  int waits = 0;
  while (got < length) {
    const ssize_t n = recv(socket, bytes + got, length - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      waits = 0;
      continue;
    }
    // An orderly close leaves errno untouched; name it, or callers would report a stale reason.
    if (n == 0) return FailWith(ECONNRESET);
    if (errno == EINTR) continue;
    ErrorCode() = errno;
    if (errno != EAGAIN) return false;
    const int ready = WaitReadable(socket);
    if (ready == 0) {
      ErrorCode() = ETIMEDOUT;
      errno = EAGAIN;  // the last receive attempt would have blocked
      return false;
    }
    if (ready < 0) return Fail(errno);
    if (++waits > kMaxIdleWakeUps) return false;
  }
  return true;
}

}  // namespace keldor
