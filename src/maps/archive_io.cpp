// Bounded little-endian access to archive files.
#include "maps/archive_io.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "core/bytes.h"
#include "core/error.h"
#include "maps/archive.h"

namespace keldor {

bool ArchiveReader::Open(const std::string& path) {
  file_.reset(std::fopen(path.c_str(), "rb"));
  if (!file_) return Fail(errno);
  struct stat status;
  if (fstat(fileno(file_.get()), &status) != 0) return Fail(errno);
  if (!S_ISREG(status.st_mode)) return Fail(EISDIR);
  size_ = static_cast<std::uint64_t>(status.st_size);
  position_ = 0;
  return true;
}

bool ArchiveReader::Seek(std::uint64_t offset) {
  if (file_ == nullptr || offset > size_) return false;
  if (fseeko(file_.get(), static_cast<off_t>(offset), SEEK_SET) != 0) return Fail(errno);
  position_ = offset;
  return true;
}

bool ArchiveReader::Skip(std::uint64_t count) {
  return count <= Remaining() && Seek(position_ + count);
}

bool ArchiveReader::Read(void* out, std::size_t count) {
  if (file_ == nullptr || count > Remaining()) return false;
  if (count == 0) return true;
  if (std::fread(out, 1, count, file_.get()) != count) {
    // The file shrank under us or the disk failed; where we are is unknown now.
    Seek(position_);
    return Fail(std::ferror(file_.get()) ? EIO : EBADMSG);
  }
  position_ += count;
  return true;
}

bool ArchiveReader::ReadU32(std::uint32_t& value) {
  std::uint8_t bytes[4];
  if (!Read(bytes, sizeof bytes)) return false;
  value = GetU32(bytes);
  return true;
}

bool ArchiveReader::ReadText(std::size_t count, std::string& text) {
  if (count > Remaining()) return false;
  text.assign(count, '\0');
  return Read(text.data(), count);
}

bool ReadDirectoryOffset(ArchiveReader& archive, std::uint32_t& offset) {
  std::array<char, kArchiveVersionSize> head{};
  const bool versioned = archive.Read(head.data(), head.size()) &&
                         std::memcmp(head.data(), kArchiveVersionText, head.size()) == 0;
  return archive.Seek(versioned ? kArchiveVersionSize : 0) && archive.ReadU32(offset);
}

// The words go through the one little-endian reader/writer pair.
std::uint32_t GetU32(const std::uint8_t* bytes) {
  ByteReader reader(bytes, 4);
  std::uint32_t value = 0;
  reader.GetU32(value);
  return value;
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  const std::size_t at = out.size();
  out.resize(at + 4);
  PutU32At(out, at, value);
}

void PutU32At(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  if (at > out.size()) return;
  ByteWriter writer(out.data() + at, out.size() - at);
  writer.PutU32(value);
}

}  // namespace keldor
