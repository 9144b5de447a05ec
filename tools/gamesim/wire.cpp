// The remote console's wire format: string lists and masked credentials.
#include "wire.h"

namespace gamesim {

void ByteWriter::PutU32(std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes_.push_back((value >> shift) & 0xFF);
}

void ByteWriter::PutBytes(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  bytes_.insert(bytes_.end(), bytes, bytes + size);
}

bool ByteReader::GetU32(std::uint32_t& value) {
  if (size_ - used_ < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i) value |= std::uint32_t{data_[used_ + i]} << (8 * i);
  used_ += 4;
  return true;
}

bool ByteReader::GetBytes(std::size_t size, const std::uint8_t*& start) {
  if (size_ - used_ < size) return false;
  start = data_ + used_;
  used_ += size;
  return true;
}

std::vector<std::uint8_t> EncodeStringList(const std::vector<std::string>& strings) {
  ByteWriter writer;
  writer.PutU32(static_cast<std::uint32_t>(strings.size()));
  for (const std::string& text : strings) {
    writer.PutU32(static_cast<std::uint32_t>(text.size() + 1));
    writer.PutBytes(text.data(), text.size());
    writer.PutBytes("", 1);
  }
  return writer.bytes();
}

Decode DecodeStringList(const std::uint8_t* data, std::size_t size, std::vector<std::string>& out,
                        std::size_t& used, std::string& error) {
  ByteReader reader(data, size);
  std::uint32_t count = 0;
  if (!reader.GetU32(count)) return Decode::kIncomplete;
  if (count > kMaxListStrings) {
    error = "string count " + std::to_string(count) + " is too large";
    return Decode::kRefused;
  }
  out.clear();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = 0;
    if (!reader.GetU32(length)) return Decode::kIncomplete;
    if (length == 0 || length > kMaxStringLength) {
      error = "string length " + std::to_string(length) + " is out of bounds";
      return Decode::kRefused;
    }
    if (reader.used() + length > kMaxRequestBytes) {
      error = "request is larger than " + std::to_string(kMaxRequestBytes) + " bytes";
      return Decode::kRefused;
    }
    const std::uint8_t* start = nullptr;
    if (!reader.GetBytes(length, start)) return Decode::kIncomplete;
    if (start[length - 1] != 0) {
      error = "string is not terminated";
      return Decode::kRefused;
    }
    // A NUL inside the string ends its text, as it would for the game.
    std::string text(reinterpret_cast<const char*>(start), length - 1);
    out.push_back(text.substr(0, text.find('\0')));
  }
  used = reader.used();
  return Decode::kDone;
}

std::vector<std::uint8_t> MaskCredential(const std::string& text, const std::uint8_t* key) {
  ByteWriter writer;
  writer.PutU32(static_cast<std::uint32_t>(text.size() + 1));
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint8_t masked = static_cast<std::uint8_t>(text[i]) ^ key[i % kLoginKeySize];
    writer.PutBytes(&masked, 1);
  }
  writer.PutBytes("", 1);
  return writer.bytes();
}

Decode UnmaskCredential(const std::uint8_t* data, std::size_t size, const std::uint8_t* key,
                        std::string& out, std::size_t& used, std::string& error) {
  ByteReader reader(data, size);
  std::uint32_t length = 0;
  if (!reader.GetU32(length)) return Decode::kIncomplete;
  if (length == 0 || length > kMaxCredentialLength) {
    error = "credential length " + std::to_string(length) + " is out of bounds";
    return Decode::kRefused;
  }
  const std::uint8_t* start = nullptr;
  if (!reader.GetBytes(length, start)) return Decode::kIncomplete;
  out.clear();
  for (std::uint32_t i = 0; i + 1 < length; ++i) {
    out.push_back(static_cast<char>(start[i] ^ key[i % kLoginKeySize]));
  }
  used = reader.used();
  return Decode::kDone;
}

}  // namespace gamesim
