// Buffered, non-blocking reads and writes of a client connection.
#include "remote/connection_io.h"

#include <sys/socket.h>

#include <cerrno>

#include "core/clock.h"

namespace keldor {

std::size_t OwedBytes(const ConnectionIo& io) {
  return io.output.size() - io.sent;
}

bool ReadAvailable(int socket, ConnectionIo& io) {
  char buffer[16 * 1024];
  std::size_t taken = 0;
  while (taken < kReadChunk) {
    const ssize_t n = recv(socket, buffer, sizeof buffer, 0);
    if (n > 0) {
      io.input.append(buffer, static_cast<std::size_t>(n));
      taken += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    io.peerClosed = true;
    // An orderly close mid-message reads as a reset, as a receive that broke off.
    io.readError = n == 0 ? ECONNRESET : errno;
    return false;
  }
  return true;
}

bool FlushOutput(int socket, ConnectionIo& io) {
  while (OwedBytes(io) > 0) {
    // MSG_NOSIGNAL: a peer that went away must give EPIPE, never kill the process.
    const ssize_t n =
        send(socket, io.output.data() + io.sent, OwedBytes(io), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n < 0) return false;
    io.sent += static_cast<std::size_t>(n);
    io.outputSince = MonotonicMilliseconds();
  }
  io.output.clear();
  io.sent = 0;
  io.sending.clear();
  return true;
}

bool QueueOutput(int socket, ConnectionIo& io, const void* head, std::size_t headLength,
                 const void* body, std::size_t bodyLength) {
  if (OwedBytes(io) + headLength + bodyLength > kOutputCap) {
    errno = EAGAIN;
    return false;
  }
  // What was written already is dropped before more is added, so the buffer
  // never holds more than is owed.
  if (io.sent > 0) {
    io.output.erase(0, io.sent);
    io.sent = 0;
  }
  if (io.output.empty()) io.outputSince = MonotonicMilliseconds();
  io.output.append(static_cast<const char*>(head), headLength);
  if (bodyLength > 0) io.output.append(static_cast<const char*>(body), bodyLength);
  return FlushOutput(socket, io);
}

bool OutputStalled(const ConnectionIo& io, long long now) {
  return OwedBytes(io) > 0 && now >= io.outputSince + kOutputStallMs;
}

long long IoTimer(const ConnectionIo& io) {
  long long timer = io.deadline;
  if (OwedBytes(io) > 0) {
    const long long stall = io.outputSince + kOutputStallMs;
    if (timer == 0 || stall < timer) timer = stall;
  }
  return timer;
}

}  // namespace keldor
