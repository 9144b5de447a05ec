// The one little-endian reader/writer pair through which every byte layout on
// the wire (client protocol, game console) is built and parsed. Both work over
// storage they do not own and refuse any access beyond its end: a failed access
// changes nothing and makes the object fail for good, so a caller may do a run
// of accesses and check Ok() once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace keldor {

class ByteWriter {
 public:
  ByteWriter(void* data, std::size_t capacity)
      : data_(static_cast<std::uint8_t*>(data)), capacity_(data == nullptr ? 0 : capacity) {}

  bool PutU8(std::uint8_t value) { return PutBytes(&value, 1); }

  bool PutU32(std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return PutBytes(bytes, sizeof bytes);
  }

  bool PutBytes(const void* bytes, std::size_t size) {
    if (!Fits(size) || (size > 0 && bytes == nullptr)) return Refuse();
    if (size > 0) std::memcpy(data_ + used_, bytes, size);
    used_ += size;
    return true;
  }

  bool PutZeros(std::size_t size) {
    if (!Fits(size)) return Refuse();
    if (size > 0) std::memset(data_ + used_, 0, size);
    used_ += size;
    return true;
  }

  // Overwrites a word written earlier (a count reserved before its items were known).
  bool PatchU32(std::size_t offset, std::uint32_t value) {
    if (!ok_ || offset > used_ || used_ - offset < 4) return Refuse();
    ByteWriter patch(data_ + offset, 4);
    return patch.PutU32(value);
  }

  // The storage was moved or grown by its owner: go on writing there, keeping what was written.
  bool Retarget(void* data, std::size_t capacity) {
    if (data == nullptr || capacity < used_) return Refuse();
    data_ = static_cast<std::uint8_t*>(data);
    capacity_ = capacity;
    return ok_;
  }

  std::size_t Used() const { return used_; }
  std::size_t Room() const { return capacity_ - used_; }
  bool Ok() const { return ok_; }

 private:
  bool Fits(std::size_t size) const { return ok_ && size <= capacity_ - used_; }
  bool Refuse() {
    ok_ = false;
    return false;
  }

  std::uint8_t* data_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  bool ok_ = true;
};

class ByteReader {
 public:
  ByteReader(const void* data, std::size_t size)
      : data_(static_cast<const std::uint8_t*>(data)), size_(data == nullptr ? 0 : size) {}

  bool GetU8(std::uint8_t& value) { return GetBytes(&value, 1); }

  bool GetU32(std::uint32_t& value) {
    std::uint8_t b[4];
    if (!GetBytes(b, sizeof b)) return false;
    value = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
            static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    return true;
  }

  bool GetBytes(void* out, std::size_t size) {
    if (!Has(size) || (size > 0 && out == nullptr)) return Refuse();
    if (size > 0) std::memcpy(out, data_ + offset_, size);
    offset_ += size;
    return true;
  }

  bool Skip(std::size_t size) {
    if (!Has(size)) return Refuse();
    offset_ += size;
    return true;
  }

  std::size_t Offset() const { return offset_; }
  std::size_t Remaining() const { return size_ - offset_; }
  bool Ok() const { return ok_; }

 private:
  bool Has(std::size_t size) const { return ok_ && size <= size_ - offset_; }
  bool Refuse() {
    ok_ = false;
    return false;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  bool ok_ = true;
};

// Decodes one little-endian word from exactly four bytes (a received length or count).
inline std::uint32_t LoadU32(const std::uint8_t (&bytes)[4]) {
  ByteReader reader(bytes, sizeof bytes);
  std::uint32_t value = 0;
  reader.GetU32(value);
  return value;
}

}  // namespace keldor
