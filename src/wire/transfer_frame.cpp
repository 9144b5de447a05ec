// The file-transfer message as bytes: see transfer_frame.h.
#include "wire/transfer_frame.h"

#include <lzo/lzo1x.h>

#include <vector>

#include "core/bytes.h"
#include "core/log.h"
#include "wire/protocol.h"

namespace keldor {

std::uint32_t TransferChecksum(const void* data, std::size_t size) {
  return static_cast<std::uint32_t>(
      lzo_adler32(1, static_cast<const lzo_bytep>(data), static_cast<lzo_uint>(size)));
}

bool EncodeTransfer(const std::string& content, std::string* message) {
  message->clear();
  if (content.empty()) {
    const Word zero = EncodeWord(0);
    message->assign(zero.begin(), zero.end());
    return true;
  }
  std::vector<unsigned char> packed(PackedBound(content.size()));
  std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
  lzo_uint packedSize = 0;
  if (lzo1x_1_compress(reinterpret_cast<const unsigned char*>(content.data()),
                       static_cast<lzo_uint>(content.size()), packed.data(), &packedSize,
                       work.data()) != LZO_E_OK) {
    return false;
  }
  std::uint8_t header[kTransferHeaderSize];
  ByteWriter writer(header, sizeof header);
  writer.PutU32(static_cast<std::uint32_t>(content.size()));
  writer.PutU32(static_cast<std::uint32_t>(packedSize));
  writer.PutU32(TransferChecksum(packed.data(), packedSize));
  message->assign(reinterpret_cast<const char*>(header), sizeof header);
  message->append(reinterpret_cast<const char*>(packed.data()), packedSize);
  return true;
}

int DecodeTransfer(const TransferHeader& header, const std::string& packed, std::string* content) {
  content->clear();
  if (header.size > kTransferMax || header.packedSize != packed.size() ||
      packed.size() > PackedBound(header.size)) {
    return kErrTransferHeader;
  }
  if (TransferChecksum(packed.data(), packed.size()) != header.checksum) {
    return kErrTransferChecksum;
  }
  std::vector<unsigned char> out(header.size);
  lzo_uint unpacked = header.size;
  const int result =
      lzo1x_decompress_safe(reinterpret_cast<const unsigned char*>(packed.data()),
                            static_cast<lzo_uint>(packed.size()), out.data(), &unpacked, nullptr);
  if (result != LZO_E_OK || unpacked != header.size) return kErrTransferData;
  content->assign(reinterpret_cast<const char*>(out.data()), out.size());
  return 0;
}

}  // namespace keldor
