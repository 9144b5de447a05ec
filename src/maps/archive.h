// Reading members of the game's RFA archives and the evolution map data.
#pragma once

#include <string>

namespace keldor {

// Writes the content of `entryName` (any case) in `archivePath` to `outputPath`.
bool ExtractArchiveEntry(const std::string& archivePath, const std::string& entryName,
                         const std::string& outputPath);

}  // namespace keldor
