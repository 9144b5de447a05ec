// The remote console's wire format: little-endian integers, string lists and
// the masked credentials of the login, with every length from a peer bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gamesim {

constexpr std::size_t kLoginKeySize = 10;
constexpr std::uint32_t kMaxListStrings = 4096;      // strings in one request
constexpr std::uint32_t kMaxStringLength = 65536;    // bytes of one string, its NUL included
constexpr std::size_t kMaxRequestBytes = 1u << 20;   // one whole request
constexpr std::uint32_t kMaxCredentialLength = 256;  // masked user name or password

// Appends little-endian values and strings to a growing byte buffer.
class ByteWriter {
 public:
  void PutU32(std::uint32_t value);
  void PutBytes(const void* data, std::size_t size);
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads little-endian values from a byte range; every read checks the bounds.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool GetU32(std::uint32_t& value);
  bool GetBytes(std::size_t size, const std::uint8_t*& start);
  std::size_t used() const { return used_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t used_ = 0;
};

// A string list as sent on the wire: count, then per string its length
// (NUL included), the characters and the NUL.
std::vector<std::uint8_t> EncodeStringList(const std::vector<std::string>& strings);

enum class Decode { kIncomplete, kDone, kRefused };

// Decodes one string list from the front of `data`. kIncomplete asks for more
// bytes; kRefused means a count or length beyond the bounds above or a string
// whose last byte is not NUL, with the reason in `error`. On kDone `used` is
// the number of bytes the list took.
Decode DecodeStringList(const std::uint8_t* data, std::size_t size, std::vector<std::string>& out,
                        std::size_t& used, std::string& error);

// One masked credential: 32-bit length L, then L-1 characters XOR the login
// key (byte i mod 10), then a plain NUL.
std::vector<std::uint8_t> MaskCredential(const std::string& text, const std::uint8_t* key);
Decode UnmaskCredential(const std::uint8_t* data, std::size_t size, const std::uint8_t* key,
                        std::string& out, std::size_t& used, std::string& error);

}  // namespace gamesim
