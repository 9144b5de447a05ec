// What each client connection holds so that no client can make the loop wait:
// the bytes read but not yet acted on, the bytes owed but not yet taken by the
// socket, and the deadline by which the message being read must be complete.
// Sockets are non-blocking; reads take what is there, writes what fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

struct ConnectionIo {
  std::string input;           // read, not yet acted on
  std::string output;          // owed to the client
  std::size_t sent = 0;        // bytes of `output` already written
  long long deadline = 0;      // monotonic ms by which `input` must form a message; 0 none
  long long outputSince = 0;   // monotonic ms of the last write progress while output is owed
  long long messageStart = 0;  // monotonic ms of the first byte of the message being read
  std::string sending;         // the file whose message is still owed, for the log
  bool peerClosed = false;     // the client has closed its end (or reset it)
  int readError = 0;           // why the last read ended the stream
};

// Bytes still owed to the client.
std::size_t OwedBytes(const ConnectionIo& io);

// Reads what the socket has now, at most kReadChunk bytes. False when the peer
// has closed the connection or the read failed (`peerClosed`, `readError` set).
bool ReadAvailable(int socket, ConnectionIo& io);

// Appends a message to the output and writes what the socket takes now.
// False with errno when it would go beyond kOutputCap (EAGAIN, nothing
// appended) or the write failed; the connection is then done with.
bool QueueOutput(int socket, ConnectionIo& io, const void* head, std::size_t headLength,
                 const void* body = nullptr, std::size_t bodyLength = 0);

// Writes what the socket takes now. False with errno when the write failed.
bool FlushOutput(int socket, ConnectionIo& io);

// The monotonic ms at which this connection next needs attention for its own
// sake (a deadline or an output stall); 0 for none.
long long IoTimer(const ConnectionIo& io);

// True when owed output has made no progress for kOutputStallMs by `now`.
bool OutputStalled(const ConnectionIo& io, long long now);

}  // namespace keldor
