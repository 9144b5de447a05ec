// Reading members of the game's RFA archives and the evolution map data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace keldor {

// Text some archives begin with; the directory offset follows it.
constexpr const char* kArchiveVersionText = "Refractor2 FlatArchive 1.1  ";
constexpr std::size_t kArchiveVersionSize = 28;
constexpr std::size_t kArchiveNameMax = 511;            // longest entry name we look for
constexpr std::size_t kArchiveEntryFields = 24;         // sizes, offset and three unused words
constexpr std::size_t kCompressedSegmentMax = 49152;    // one LZO1X block as stored
constexpr std::size_t kDecompressedSegmentMax = 32772;  // one block once expanded
// No entry we read expands beyond this (the evolution data is a few dozen KiB):
// a larger claim is refused before anything is written.
constexpr std::uint32_t kArchiveEntryMax = 16 * 1024 * 1024;

// Forgets whether the last lookup ended inside a "maps" tag.
void ResetEvolutionSearch();

// Writes the content of `entryName` (any case) in `archivePath` to `outputPath`.
// A damaged archive fails with a log line saying what is wrong with it.
bool ExtractArchiveEntry(const std::string& archivePath, const std::string& entryName,
                         const std::string& outputPath);

// 4 when `map` is listed in the evolution data file, else 0. Never fails.
unsigned EvolutionMapListed(const std::string& map);

struct EvolutionReading;

// Lookups of many maps in one scan: answers and logs for each map exactly as
// EvolutionMapListed would, but reads the file once rather than once per map.
class EvolutionScan {
 public:
  EvolutionScan();
  ~EvolutionScan();
  EvolutionScan(const EvolutionScan&) = delete;
  EvolutionScan& operator=(const EvolutionScan&) = delete;

  unsigned Listed(const std::string& map);

 private:
  static bool Read(bool armed, EvolutionReading& reading);
  std::unique_ptr<EvolutionReading> readings_[2];  // by the armed state it began in
};

}  // namespace keldor
