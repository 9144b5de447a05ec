// Writes RFA archives, stored and LZO1X-1 segmented, with or without the version text.
#include "maps/rfa_writer.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/error.h"
#include "core/owned.h"
#include "maps/archive.h"
#include "maps/archive_io.h"

namespace keldor {

namespace {

// LZO1X-1's worst case grows a block by a sixteenth plus a little.
std::size_t WorstCompressed(std::size_t size) {
  return size + size / 16 + 64 + 3;
}

void Append(std::vector<std::uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

bool AppendSegments(std::vector<std::uint8_t>& out, const std::string& content,
                    std::size_t segmentSize, std::uint32_t& segmentCount) {
  const std::size_t count = (content.size() + segmentSize - 1) / segmentSize;
  segmentCount = static_cast<std::uint32_t>(count);
  std::vector<std::uint8_t> work(LZO1X_1_MEM_COMPRESS);
  std::vector<std::uint8_t> packed(WorstCompressed(segmentSize));
  const std::size_t table = out.size();
  PutU32(out, segmentCount);
  out.resize(out.size() + 12 * count);
  std::vector<std::uint8_t> data;
  for (std::size_t index = 0; index < count; ++index) {
    const std::size_t start = index * segmentSize;
    const std::size_t size = std::min(segmentSize, content.size() - start);
    lzo_uint packedSize = packed.size();
    if (lzo1x_1_compress(reinterpret_cast<const unsigned char*>(content.data()) + start, size,
                         packed.data(), &packedSize, work.data()) != LZO_E_OK) {
      return Fail(EIO);
    }
    const std::size_t row = table + 4 + 12 * index;
    PutU32At(out, row, static_cast<std::uint32_t>(packedSize));
    PutU32At(out, row + 4, static_cast<std::uint32_t>(size));
    PutU32At(out, row + 8, static_cast<std::uint32_t>(data.size()));
    data.insert(data.end(), packed.begin(), packed.begin() + packedSize);
  }
  out.insert(out.end(), data.begin(), data.end());
  return true;
}

}  // namespace

bool BuildRfaArchive(const std::vector<RfaEntry>& entries, const RfaOptions& options,
                     RfaImage& image) {
  if (options.segmentSize == 0 || options.segmentSize > kDecompressedSegmentMax ||
      WorstCompressed(options.segmentSize) > kCompressedSegmentMax) {
    return Fail(EINVAL);
  }
  static const bool ready = lzo_init() == LZO_E_OK;
  if (!ready) return Fail(EIO);
  image = RfaImage{};
  std::vector<std::uint8_t>& out = image.bytes;
  if (options.versionHeader) Append(out, kArchiveVersionText);
  const std::size_t offsetWord = out.size();
  PutU32(out, 0);
  for (const RfaEntry& entry : entries) {
    RfaEntryLayout layout;
    layout.dataOffset = static_cast<std::uint32_t>(out.size());
    layout.size = static_cast<std::uint32_t>(entry.content.size());
    if (entry.segmented) {
      if (!AppendSegments(out, entry.content, options.segmentSize, layout.segmentCount)) {
        return false;
      }
      // A segmented entry is known by its stored size differing from its size;
      // one byte of padding settles a coincidence.
      if (out.size() - layout.dataOffset == layout.size) out.push_back(0);
    } else {
      Append(out, entry.content);
    }
    layout.storedSize = static_cast<std::uint32_t>(out.size() - layout.dataOffset);
    image.entries.push_back(layout);
  }
  image.directoryOffset = static_cast<std::uint32_t>(out.size());
  PutU32At(out, offsetWord, image.directoryOffset);
  PutU32(out, static_cast<std::uint32_t>(entries.size()));
  for (std::size_t index = 0; index < entries.size(); ++index) {
    RfaEntryLayout& layout = image.entries[index];
    layout.directoryPosition = static_cast<std::uint32_t>(out.size());
    PutU32(out, static_cast<std::uint32_t>(entries[index].name.size()));
    Append(out, entries[index].name);
    PutU32(out, layout.storedSize);
    PutU32(out, layout.size);
    PutU32(out, layout.dataOffset);
    for (int unused = 0; unused < 3; ++unused) PutU32(out, 0);
  }
  return true;
}

bool WriteBytesToFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  FileHandle file(std::fopen(path.c_str(), "wb"));
  if (!file) return Fail(errno);
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  const int code = errno;
  if (!CloseFile(file) || !written) return Fail(written ? errno : code);
  return true;
}

bool WriteRfaArchive(const std::string& path, const std::vector<RfaEntry>& entries,
                     const RfaOptions& options) {
  RfaImage image;
  return BuildRfaArchive(entries, options, image) && WriteBytesToFile(path, image.bytes);
}

}  // namespace keldor
