// What each client connection holds so that no client can make the loop wait,
// hold our memory or fill our log: the bytes read but not yet acted on, the
// upload being received, the download being made, the bytes owed but not yet
// taken by the socket, the
// deadline by which the message being read must be complete, and the count of
// log lines its refused requests have cost. Sockets are non-blocking; reads
// take what is there, writes what fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "core/owned.h"
#include "wire/transfer_frame.h"

namespace keldor {

// A login must be complete (credentials, then the version byte) within this
// time of the connection, or of the answer being sent.
constexpr long long kLoginDeadlineMs = 10000;
// A request (its code and payload) must be complete within this time of its first byte.
constexpr long long kRequestDeadlineMs = 10000;
// An upload gets one second more for every this many compressed bytes it announces.
constexpr std::size_t kUploadBytesPerSecond = 64 * 1024;
// Output owed to a client that takes nothing for this long ends the connection.
constexpr long long kOutputStallMs = 10000;
// No more of a client's requests are read while this much output is owed to it:
// a client that does not read its replies cannot make us queue more.
constexpr std::size_t kOutputHighWater = 64 * 1024;
// The most output held for one client: the largest file message and room for
// the notifications that may follow it. Beyond it the connection ends.
constexpr std::size_t kOutputCap = TransferMessageBound(kTransferMax) + 1024 * 1024;
// The most bytes taken from one socket in one pass, so that one busy client
// cannot keep the others waiting.
constexpr std::size_t kReadChunk = 64 * 1024;

// An output buffer this large is given back once it has been sent, rather
// than kept for the next message.
constexpr std::size_t kKeptBufferMax = 256 * 1024;
// The room a download's message is made in is touched this much per pass
// before the file is compressed into it (see Outflow).
constexpr std::size_t kOutflowSlice = 128 * 1024;

// Lines a client can have logged at will (unknown, refused and failed
// requests) are limited per connection: the first few are logged one by one,
// the rest are counted and summed up in one line at most once a minute.
constexpr int kNoiseLinesLogged = 5;
constexpr long long kNoiseSummaryMs = 60000;
// A connection that sends this many unknown request codes with no accepted
// request between them is not speaking our protocol: it is closed.
constexpr int kUnknownRequestsInRow = 100;

struct RequestNoise {
  int logged = 0;           // lines logged one by one
  int unlogged = 0;         // lines left out since the last summary
  long long summaryAt = 0;  // monotonic ms at which those are summed up
  int unknownInRow = 0;     // unknown codes since the last accepted request
};

// True when the next such line may be logged; otherwise it is counted.
bool TakeNoiseLine(RequestNoise& noise, long long now);
// The count of lines left out, once their summary is due at `now` (at once
// when the connection is `closing`), and starts counting afresh; else 0.
int DueNoiseSummary(RequestNoise& noise, long long now, bool closing);

// The compressed bytes of an upload, taken as they arrive rather than held
// whole: an accepted upload's go to an unnamed spool file, a refused one's
// are thrown away.
struct Inflow {
  std::uint32_t request = 0;  // the upload request being received; 0: none
  TransferHeader header{};
  std::size_t remaining = 0;  // compressed bytes still to come
  bool accepted = false;      // kept in `spool`, else thrown away
  OwnedFd spool;
  std::uint32_t checksum = 1;  // Adler-32 of the bytes spooled so far
  int error = 0;               // why the spool could not take them; the rest is thrown away
};

// A download whose message is being made. The message must be whole before
// its first byte goes (its header holds the compressed size and checksum),
// and one LZO block means one compression over the whole file: that stays one
// pass, straight from a mapping of the file into the room that becomes the
// output. What made a download hold the loop for tens of milliseconds was not
// the compressor but the memory: the file read into one fresh buffer, the
// message into another and copied into a third, each page touched for the
// first time in that pass. Now the one room is touched a slice per pass as the
// socket drains, so the pass that compresses finds its memory ready, and the
// compressed bytes are summed a slice per pass after it; a client that reads
// slowly, or not at all, costs the loop what one that reads at once does.
struct Outflow {
  OwnedFd file;          // the file to send; -1: no download being made
  std::size_t size = 0;  // its size when it was asked for, then when compressed
  std::string message;   // the room for its message, touched so far
  std::string after;     // output queued meanwhile, owed after the message
  bool packed = false;   // the file is compressed into `message`
  std::size_t packedSize = 0;
  std::size_t summed = 0;  // compressed bytes summed so far
  std::uint32_t checksum = 1;
};

// A file's bytes mapped for reading, unmapped with their owner; data() is null
// (errno set) when they could not be mapped, and for an empty file.
class FileMapping {
 public:
  FileMapping(int fd, std::size_t size);
  ~FileMapping();
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  const unsigned char* data() const { return data_; }

 private:
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// An unnamed file in `dir` for an upload's bytes, gone once closed; its
// descriptor is -1 (errno set) when none can be made.
OwnedFd OpenSpool(const std::string& dir);

struct ConnectionIo {
  std::string input;           // read, not yet acted on
  Inflow inflow;               // the upload whose bytes `input` begins with
  std::string output;          // owed to the client
  Outflow outflow;             // the download being made, owed after `output`
  std::size_t sent = 0;        // bytes of `output` already written
  long long deadline = 0;      // monotonic ms by which `input` must form a message; 0 none
  long long outputSince = 0;   // monotonic ms of the last write progress while output is owed
  long long messageStart = 0;  // monotonic ms of the first byte of the message being read
  std::string sending;         // the file whose message is still owed, for the log
  bool peerClosed = false;     // the client has closed its end (or reset it)
  int readError = 0;           // why the last read ended the stream
};

// Bytes still owed to the client. A download being made counts as more than
// kOutputHighWater whatever its size, so that the client's next request waits
// for it.
std::size_t OwedBytes(const ConnectionIo& io);

// Reads what the socket has now, at most kReadChunk bytes. False when the peer
// has closed the connection or the read failed (`peerClosed`, `readError` set).
bool ReadAvailable(int socket, ConnectionIo& io);

// Appends a message to the output and writes what the socket takes now.
// False with errno when it would go beyond kOutputCap (EAGAIN, nothing
// appended) or the write failed; the connection is then done with.
bool QueueOutput(int socket, ConnectionIo& io, const void* head, std::size_t headLength,
                 const void* body = nullptr, std::size_t bodyLength = 0);

// Starts making the download of `file` (`size` bytes), owed after what is owed
// now and before what is queued later; FlushOutput makes it as the socket drains.
void StartOutflow(ConnectionIo& io, OwnedFd file, std::size_t size);

// Writes what the socket takes now and, once all of it is taken, takes the
// download being made a step further. False with errno when the write failed
// or the download's file could not be read or compressed.
bool FlushOutput(int socket, ConnectionIo& io);

// Moves the inflow's bytes at the front of `input` to its spool, adding them to
// its checksum, or drops them.
void TakeInflow(ConnectionIo& io);

// Memory that large transfer buffers held goes back to the system once
// transfers have been quiet for this long: the allocator keeps freed blocks
// for reuse otherwise, and one burst of uploads would leave the daemon at its
// peak size for good. Within a burst the blocks are reused.
constexpr long long kReleaseQuietMs = 1000;

// A large buffer has been freed: its memory is to go back once transfers are quiet.
void ReleaseFreedMemorySoon();
// Gives that memory back when its time has come by `now`.
void ReleaseFreedMemoryIfDue(long long now);

// The monotonic ms at which this connection next needs attention for its own
// sake (a deadline or an output stall); 0 for none.
long long IoTimer(const ConnectionIo& io);

// True when owed output has made no progress for kOutputStallMs by `now`.
bool OutputStalled(const ConnectionIo& io, long long now);

}  // namespace keldor
