// Writes RFA archives the way the game stores them: optional version text,
// entry data, then the directory; entries stored plainly or as LZO1X-1
// compressed segments. mkinstall builds installations with it and the tests
// build (and damage) archives with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keldor {

constexpr std::size_t kDefaultSegmentSize = 32768;

struct RfaEntry {
  std::string name;  // path with '/' separators, kept in its case
  std::string content;
  bool segmented = false;
};

struct RfaOptions {
  bool versionHeader = true;
  std::size_t segmentSize = kDefaultSegmentSize;  // expanded bytes per segment
};

// Where each part of an entry landed, so that tests can damage it on purpose.
struct RfaEntryLayout {
  std::uint32_t directoryPosition = 0;  // its name length word
  std::uint32_t storedSize = 0;
  std::uint32_t size = 0;
  std::uint32_t dataOffset = 0;
  std::uint32_t segmentCount = 0;  // segmented entries only
};

struct RfaImage {
  std::vector<std::uint8_t> bytes;
  std::uint32_t directoryOffset = 0;
  std::vector<RfaEntryLayout> entries;
};

// False (ErrorCode set) when a segment cannot be compressed or the segment size
// is out of range.
bool BuildRfaArchive(const std::vector<RfaEntry>& entries, const RfaOptions& options,
                     RfaImage& image);
bool WriteBytesToFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
bool WriteRfaArchive(const std::string& path, const std::vector<RfaEntry>& entries,
                     const RfaOptions& options = {});

}  // namespace keldor
