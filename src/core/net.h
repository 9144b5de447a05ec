// The two socket helpers through which every byte of the client protocol and of
// the game console link is sent and received. Both sockets are non-blocking.
#pragma once

#include <cstddef>

namespace keldor {

// Sends all `length` bytes, with no waiting: a would-block counts as a failure.
// Length 0 succeeds at once; a null buffer fails. On failure errno holds the
// reason for the caller to copy into ErrorCode.
bool SendAll(int socket, const void* buffer, std::size_t length);

// SendAll for a message in two pieces (a header and its data), handed to the
// kernel as one write: sent apart, the second small piece would wait for the
// acknowledgement of the first. `body` may be null when `bodyLength` is 0.
bool SendAll(int socket, const void* head, std::size_t headLength, const void* body,
             std::size_t bodyLength);

// Receives exactly `length` bytes. While nothing is pending it waits for at most
// one second at a time; it gives up after a second with no data (ErrorCode 110),
// after four wake-ups in a row that bring nothing (ErrorCode 11), when the peer
// closes (ErrorCode 104, connection reset) or on any other socket error
// (ErrorCode = errno). errno is left holding the same reason. Length 0 succeeds
// at once; a null buffer fails.
bool ReceiveExact(int socket, void* buffer, std::size_t length);

}  // namespace keldor
