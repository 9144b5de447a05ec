// Buffered, non-blocking reads and writes of a client connection, the spool
// of the upload being received, and the limit on a connection's log lines.
#include "remote/connection_io.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "core/clock.h"
#include "core/state_table.h"

namespace keldor {

namespace {

// When freed transfer memory goes back to the system; 0: nothing owed.
StateTable<long long> g_releaseAt;

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

OwnedFd OpenSpool(const std::string& dir) {
  const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return OwnedFd(fd);
  // A file system without unnamed files: a private named one, unlinked at once.
  std::string name = dir + "/.keldor-upload.XXXXXX";
  const int named = mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) unlink(name.c_str());
  return OwnedFd(named);
}

void TakeInflow(ConnectionIo& io) {
  Inflow& in = io.inflow;
  const std::size_t n = std::min(in.remaining, io.input.size());
  if (n == 0) return;
  if (in.accepted && in.error == 0 && !WriteAll(in.spool.get(), io.input.data(), n)) {
    in.error = errno;
    in.spool.Reset();
  }
  io.input.erase(0, n);
  in.remaining -= n;
}

void ReleaseFreedMemorySoon() {
  *g_releaseAt = MonotonicMilliseconds() + kReleaseQuietMs;
}

void ReleaseFreedMemoryIfDue(long long now) {
  if (*g_releaseAt == 0 || now < *g_releaseAt) return;
  *g_releaseAt = 0;
  malloc_trim(0);
}

bool TakeNoiseLine(RequestNoise& noise, long long now) {
  if (noise.logged < kNoiseLinesLogged) {
    ++noise.logged;
    return true;
  }
  if (noise.unlogged++ == 0) noise.summaryAt = now + kNoiseSummaryMs;
  return false;
}

int DueNoiseSummary(RequestNoise& noise, long long now, bool closing) {
  if (noise.unlogged == 0 || (!closing && now < noise.summaryAt)) return 0;
  return std::exchange(noise.unlogged, 0);
}

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
  io.sent = 0;
  io.sending.clear();
  if (io.output.capacity() <= kKeptBufferMax) {
    io.output.clear();
    return true;
  }
  std::string().swap(io.output);
  ReleaseFreedMemorySoon();
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
