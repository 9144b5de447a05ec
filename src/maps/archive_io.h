// Bounded little-endian access to archive files: a reader that never reads or
// seeks past the end of the file, and the matching writer helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/owned.h"

namespace keldor {

// Reads an archive file by absolute offsets. Every read is checked against the
// file's size first, so a bogus offset or length from the file fails the read
// instead of running off the end.
class ArchiveReader {
 public:
  ArchiveReader() = default;
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // Opens for binary reading; false with ErrorCode set to the system error.
  bool Open(const std::string& path);

  std::uint64_t Size() const { return size_; }
  std::uint64_t Position() const { return position_; }
  std::uint64_t Remaining() const { return size_ - position_; }

  // Each returns false, and leaves the position as it was, when the request
  // does not lie wholly within the file.
  bool Seek(std::uint64_t offset);
  bool Skip(std::uint64_t count);
  bool Read(void* out, std::size_t count);
  bool ReadU32(std::uint32_t& value);
  bool ReadText(std::size_t count, std::string& text);

 private:
  FileHandle file_;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
};

// Reads the directory offset: after the version text when the archive begins
// with it, else at offset 0. False when the file is too short to hold one.
bool ReadDirectoryOffset(ArchiveReader& archive, std::uint32_t& offset);

std::uint32_t GetU32(const std::uint8_t* bytes);
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value);
void PutU32At(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value);

}  // namespace keldor
