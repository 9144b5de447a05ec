// The file-transfer message as bytes, without sockets or daemon state: the
// header (sizes, Adler-32 of the compressed bytes) and the LZO1X-1 content.
// keldorctl and the tests build and check messages with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace keldor {

constexpr std::size_t kTransferHeaderSize = 12;

// No file travels larger than this, either way: a header announcing more is
// refused before anything of that size is allocated. Keldor's files are a few
// KiB and the log is sent as its last 32 KiB, so this leaves ample room.
constexpr std::uint32_t kTransferMax = 16 * 1024 * 1024;

struct TransferHeader {
  std::uint32_t size = 0;  // uncompressed; 0 empty, XFER_FAIL_MARKER failure
  std::uint32_t packedSize = 0;
  std::uint32_t checksum = 0;
};

// Adler-32 from 1, as the library computes it; `from` carries on a sum over
// the bytes before these, for bytes checked as they arrive.
std::uint32_t TransferChecksum(const void* data, std::size_t size, std::uint32_t from = 1);

// Largest compressed size a header may announce for `size` bytes (LZO1X-1's worst case).
constexpr std::size_t PackedBound(std::size_t size) {
  return size + size / 16 + 64 + 3;
}

// Room EncodeTransferInto needs for a message carrying `size` bytes.
constexpr std::size_t TransferMessageBound(std::size_t size) {
  return kTransferHeaderSize + PackedBound(size);
}

// Writes the whole message for the `size` bytes at `content` into `message`
// (TransferMessageBound(size) bytes, need not be initialised) and returns its
// length; 0 when the compressor fails.
std::size_t EncodeTransferInto(const void* content, std::size_t size, unsigned char* message);

// The two halves of EncodeTransferInto for a non-empty content, for a sender
// that sums the compressed bytes a slice at a time: the content compressed
// after the room for the header (the compressed size returned, 0 when the
// compressor fails), and the header written once the sum is known.
std::size_t PackTransferInto(const void* content, std::size_t size, unsigned char* message);
void PutTransferHeader(const TransferHeader& header, unsigned char* message);

// The whole message for `content`: the word 0 alone for an empty file, else
// the header and the compressed bytes. False (message empty) when the
// compressor fails.
bool EncodeTransfer(const std::string& content, std::string* message);

// Checks a received message body against its header; 0 with `content` filled,
// or the error: 30013 for a wrong checksum, 30012 for data that does not
// unpack to exactly the announced size, 30014 for a header out of bounds.
int DecodeTransfer(const TransferHeader& header, const std::string& packed, std::string* content);

// The same checks and unpacking for `packedSize` bytes at `packed` whose
// Adler-32 is already known as `checksum`, into `content` (header.size bytes,
// need not be initialised): a receiver that summed the bytes as they arrived
// unpacks them where they lie, into the buffer it writes out.
int DecodeTransferInto(const TransferHeader& header, const void* packed, std::size_t packedSize,
                       std::uint32_t checksum, void* content);

}  // namespace keldor
