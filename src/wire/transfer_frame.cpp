// The file-transfer message as bytes: see transfer_frame.h.
#include "wire/transfer_frame.h"

#include <lzo/lzo1x.h>

#include <cstring>
#include <memory>

#include "core/bytes.h"
#include "core/log.h"
#include "wire/protocol.h"

namespace keldor {

std::uint32_t TransferChecksum(const void* data, std::size_t size, std::uint32_t from) {
  return static_cast<std::uint32_t>(
      lzo_adler32(from, static_cast<const lzo_bytep>(data), static_cast<lzo_uint>(size)));
}

std::size_t PackTransferInto(const void* content, std::size_t size, unsigned char* message) {
  // The compressor's dictionary needs no initial value. It is 128 KiB, too large for the stack
  // and large enough that the allocator maps and unmaps it for every message: kept per thread.
  thread_local const std::unique_ptr<unsigned char[]> work(new unsigned char[LZO1X_1_MEM_COMPRESS]);
  lzo_uint packedSize = 0;
  if (lzo1x_1_compress(static_cast<const unsigned char*>(content), static_cast<lzo_uint>(size),
                       message + kTransferHeaderSize, &packedSize, work.get()) != LZO_E_OK) {
    return 0;
  }
  return packedSize;
}

void PutTransferHeader(const TransferHeader& header, unsigned char* message) {
  ByteWriter writer(message, kTransferHeaderSize);
  writer.PutU32(header.size);
  writer.PutU32(header.packedSize);
  writer.PutU32(header.checksum);
}

std::size_t EncodeTransferInto(const void* content, std::size_t size, unsigned char* message) {
  if (size == 0) {
    const Word zero = EncodeWord(0);
    std::memcpy(message, zero.data(), zero.size());
    return zero.size();
  }
  const std::size_t packedSize = PackTransferInto(content, size, message);
  if (packedSize == 0) return 0;
  PutTransferHeader({static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(packedSize),
                     TransferChecksum(message + kTransferHeaderSize, packedSize)},
                    message);
  return kTransferHeaderSize + packedSize;
}

bool EncodeTransfer(const std::string& content, std::string* message) {
  message->resize(TransferMessageBound(content.size()));
  const std::size_t length = EncodeTransferInto(content.data(), content.size(),
                                                reinterpret_cast<unsigned char*>(message->data()));
  message->resize(length);
  return length != 0;
}

namespace {

bool HeaderFits(const TransferHeader& header, std::size_t packedSize) {
  return header.size <= kTransferMax && header.packedSize == packedSize &&
         packedSize <= PackedBound(header.size);
}

}  // namespace

int DecodeTransferInto(const TransferHeader& header, const void* packed, std::size_t packedSize,
                       std::uint32_t checksum, void* content) {
  if (!HeaderFits(header, packedSize)) return kErrTransferHeader;
  if (checksum != header.checksum) return kErrTransferChecksum;
  lzo_uint unpacked = header.size;
  const int result = lzo1x_decompress_safe(
      static_cast<const unsigned char*>(packed), static_cast<lzo_uint>(packedSize),
      static_cast<unsigned char*>(content), &unpacked, nullptr);
  return result == LZO_E_OK && unpacked == header.size ? 0 : kErrTransferData;
}

int DecodeTransfer(const TransferHeader& header, const std::string& packed, std::string* content) {
  content->clear();
  // Checked before anything of the announced size is allocated.
  if (!HeaderFits(header, packed.size())) return kErrTransferHeader;
  const std::uint32_t checksum = TransferChecksum(packed.data(), packed.size());
  if (checksum != header.checksum) return kErrTransferChecksum;
  // Straight into the result; a failure leaves it empty.
  content->resize(header.size);
  const int error =
      DecodeTransferInto(header, packed.data(), packed.size(), checksum, content->data());
  if (error != 0) content->clear();
  return error;
}

}  // namespace keldor
