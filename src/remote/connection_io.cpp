// Buffered, non-blocking reads and writes of a client connection, the spool
// of the upload being received, the download being made, and the limit on a
// connection's log lines.
#include "remote/connection_io.h"

#include <fcntl.h>
#include <malloc.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "core/clock.h"
#include "core/log.h"
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

bool Making(const ConnectionIo& io) {
  return io.outflow.file.get() >= 0;
}

// Writes what the socket takes of the output; false with errno when it failed.
bool WriteOwed(int socket, ConnectionIo& io) {
  while (io.sent < io.output.size()) {
    // MSG_NOSIGNAL: a peer that went away must give EPIPE, never kill the process.
    const ssize_t n = send(socket, io.output.data() + io.sent, io.output.size() - io.sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    io.sent += static_cast<std::size_t>(n);
    io.outputSince = MonotonicMilliseconds();
  }
  return true;
}

// All of the output has been taken: its buffer is kept for the next message
// when small, given back when large.
void EmptyOutput(ConnectionIo& io) {
  io.sent = 0;
  if (io.output.capacity() <= kKeptBufferMax) {
    io.output.clear();
    return;
  }
  std::string().swap(io.output);
  ReleaseFreedMemorySoon();
}

// The compressed bytes summed per pass: a slice of this many takes the loop a
// fraction of a millisecond.
constexpr std::size_t kSumSlice = 1024 * 1024;

// The message made becomes the output, followed by what was queued meanwhile.
void FinishOutflow(ConnectionIo& io, std::size_t length) {
  Outflow& out = io.outflow;
  out.message.resize(length);
  out.message.append(out.after);
  io.output.swap(out.message);
  io.sent = 0;
  io.outflow = Outflow{};
}

// Where a fault in a mapped file returns to; set only while one is compressed.
sigjmp_buf* g_mappedFault = nullptr;

void OnMappedFault(int) {
  siglongjmp(*g_mappedFault, 1);
}

// Compresses a mapped file. Another process that cuts the file short while it
// is compressed takes pages from under the mapping, and touching one raises
// SIGBUS: that is a failed read of this download (EIO), not the end of the
// daemon. The compressor is plain C, so jumping out of it leaves nothing behind.
std::size_t PackMapped(const unsigned char* file, std::size_t size, unsigned char* message) {
  struct sigaction guard {};
  guard.sa_handler = OnMappedFault;
  sigemptyset(&guard.sa_mask);
  struct sigaction previous {};
  sigaction(SIGBUS, &guard, &previous);
  sigjmp_buf jump;
  g_mappedFault = &jump;
  volatile std::size_t packed = 0;
  if (sigsetjmp(jump, 1) == 0) {
    packed = PackTransferInto(file, size, message);
  } else {
    errno = EIO;
  }
  g_mappedFault = nullptr;
  sigaction(SIGBUS, &previous, nullptr);
  return packed;
}

// The file compressed into the room made for it; a file that shrank since it
// was asked for is sent as it is now, an empty one as the word 0 at once.
// False with errno.
bool PackOutflow(ConnectionIo& io) {
  Outflow& out = io.outflow;
  struct stat st;
  if (fstat(out.file.get(), &st) != 0) return false;
  out.size = std::min(out.size, static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)));
  unsigned char* message = reinterpret_cast<unsigned char*>(out.message.data());
  if (out.size == 0) {
    FinishOutflow(io, EncodeTransferInto(nullptr, 0, message));
    return true;
  }
  const FileMapping file(out.file.get(), out.size);
  if (file.data() == nullptr) return false;
  errno = kErrTransferData;
  out.packedSize = PackMapped(file.data(), out.size, message);
  if (out.packedSize == 0) return false;
  out.packed = true;
  return true;
}

// One step of the download being made: a slice of its room touched; once all
// of it is, the file compressed; then a slice of the compressed bytes summed,
// and with the last the header written and the message owed. A small file
// takes one step. False with errno.
bool MakeOutflow(ConnectionIo& io) {
  Outflow& out = io.outflow;
  io.outputSince = MonotonicMilliseconds();
  const std::size_t room = TransferMessageBound(out.size);
  // Its memory goes back once downloads are quiet, should the client go first.
  if (room > kKeptBufferMax) ReleaseFreedMemorySoon();
  if (out.message.size() < room) {
    out.message.append(std::min(kOutflowSlice, room - out.message.size()), '\0');
    if (out.message.size() < room) return true;
  }
  if (!out.packed) {
    if (!PackOutflow(io)) return false;
    if (!Making(io)) return true;  // an empty file, owed at once
  }
  unsigned char* message = reinterpret_cast<unsigned char*>(out.message.data());
  const std::size_t n = std::min(kSumSlice, out.packedSize - out.summed);
  out.checksum = TransferChecksum(message + kTransferHeaderSize + out.summed, n, out.checksum);
  out.summed += n;
  if (out.summed < out.packedSize) return true;
  PutTransferHeader({static_cast<std::uint32_t>(out.size),
                     static_cast<std::uint32_t>(out.packedSize), out.checksum},
                    message);
  FinishOutflow(io, kTransferHeaderSize + out.packedSize);
  return true;
}

}  // namespace

FileMapping::FileMapping(int fd, std::size_t size) : size_(size) {
  if (size == 0) return;
  // Mapped whole at once: the pages are in the page cache, and one call maps
  // them in a fraction of the time that a fault for every few of them takes.
  void* at = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (at != MAP_FAILED) data_ = static_cast<const unsigned char*>(at);
}

FileMapping::~FileMapping() {
  if (data_ != nullptr) munmap(const_cast<unsigned char*>(data_), size_);
}

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
  if (in.accepted && in.error == 0) {
    if (WriteAll(in.spool.get(), io.input.data(), n)) {
      // Summed while the bytes are at hand, so that the complete upload is not read twice.
      in.checksum = TransferChecksum(io.input.data(), n, in.checksum);
    } else {
      in.error = errno;
      in.spool.Reset();
    }
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
  const std::size_t owed = io.output.size() - io.sent;
  if (!Making(io)) return owed;
  return owed + std::max(TransferMessageBound(io.outflow.size), kOutputHighWater + 1) +
         io.outflow.after.size();
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

void StartOutflow(ConnectionIo& io, OwnedFd file, std::size_t size) {
  if (OwedBytes(io) == 0) io.outputSince = MonotonicMilliseconds();
  io.outflow.file = std::move(file);
  io.outflow.size = size;
  // Room for the notifications that may follow, so that they do not move it.
  io.outflow.message.reserve(TransferMessageBound(size) + kOutputHighWater);
}

bool FlushOutput(int socket, ConnectionIo& io) {
  for (;;) {
    if (!WriteOwed(socket, io)) return false;
    if (io.sent < io.output.size()) return true;  // the socket is full
    EmptyOutput(io);
    if (!Making(io)) {
      io.sending.clear();
      return true;
    }
    // One step a pass; the loop comes back while the socket takes more.
    if (!MakeOutflow(io)) return false;
    if (Making(io)) return true;
  }
}

bool QueueOutput(int socket, ConnectionIo& io, const void* head, std::size_t headLength,
                 const void* body, std::size_t bodyLength) {
  if (OwedBytes(io) + headLength + bodyLength > kOutputCap) {
    errno = EAGAIN;
    return false;
  }
  if (OwedBytes(io) == 0) io.outputSince = MonotonicMilliseconds();
  // What was written already is dropped once it is no less than what is still
  // owed, so that each byte is moved at most once on average: dropping it for
  // every message moved a large download's rest again for each notification
  // queued behind it.
  if (io.sent > 0 && io.sent >= io.output.size() - io.sent) {
    io.output.erase(0, io.sent);
    io.sent = 0;
  }
  std::string& queue = Making(io) ? io.outflow.after : io.output;
  queue.append(static_cast<const char*>(head), headLength);
  if (bodyLength > 0) queue.append(static_cast<const char*>(body), bodyLength);
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
