// Reading members of the game's RFA archives and the evolution map data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace keldor {

// Text some archives begin with; the directory offset follows it.
constexpr const char* kArchiveVersionText = "Refractor2 FlatArchive 1.1  ";
constexpr std::size_t kArchiveVersionSize = 28;
constexpr std::size_t kArchiveNameMax = 511;            // longest entry name we look for
constexpr std::size_t kArchiveEntryFields = 24;         // sizes, offset and three unused words
constexpr std::size_t kCompressedSegmentMax = 49152;    // one LZO1X block as stored
constexpr std::size_t kDecompressedSegmentMax = 32772;  // one block once expanded

// Forgets whether the last lookup ended inside a "maps" tag.
void ResetEvolutionSearch();

// Writes the content of `entryName` (any case) in `archivePath` to `outputPath`.
// A damaged archive fails with a log line saying what is wrong with it.
bool ExtractArchiveEntry(const std::string& archivePath, const std::string& entryName,
                         const std::string& outputPath);

// 4 when `map` is listed in the evolution data file, else 0. Never fails.
unsigned EvolutionMapListed(const std::string& map);

// Forgets the search state EvolutionMapListed carries from one call to the next.

}  // namespace keldor
