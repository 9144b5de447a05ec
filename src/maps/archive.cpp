// Extraction of one entry from an RFA archive (stored or LZO1X-segmented) and
// the lookup of a map in the game's evolution data.
#include "maps/archive.h"

#include <expat.h>
#include <lzo/lzo1x.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_set>
#include <vector>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "maps/archive_io.h"
#include "runtime/options.h"

namespace keldor {

// What one reading of the file gives: the listed names (lower case), where the
// armed state ends, and the log line the reading gave, if any.
struct EvolutionReading {
  std::unordered_set<std::string> names;
  bool endsArmed = false;
  std::string complaint;
};

namespace {

// Smallest directory entry: name length, empty name, the entry fields.
constexpr std::uint64_t kMinDirectoryEntry = 4 + kArchiveEntryFields;
constexpr std::uint64_t kSegmentRowSize = 12;
constexpr std::size_t kCopyChunk = 32768;
constexpr std::size_t kEvolutionPiece = 1024;

struct DirectoryEntry {
  std::uint32_t storedSize = 0;
  std::uint32_t size = 0;
  std::uint32_t dataOffset = 0;
};

bool Damaged() {
  return Fail(EBADMSG);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0 &&
         a.find('\0') == std::string::npos;
}

// Walks the directory until the wanted entry; every count and length is
// weighed against what is left of the file before it is used.
bool FindEntry(ArchiveReader& archive, const std::string& archivePath, const std::string& wanted,
               DirectoryEntry& found) {
  std::uint32_t directoryOffset = 0;
  if (!ReadDirectoryOffset(archive, directoryOffset)) {
    LogMessage(kLogInfo, "Couldn't read archive %s: it is too short to hold a directory.",
               archivePath.c_str());
    return Damaged();
  }
  std::uint32_t count = 0;
  if (!archive.Seek(directoryOffset) || !archive.ReadU32(count)) {
    LogMessage(
        kLogInfo, "Couldn't read archive %s: directory offset %u lies beyond its end (%llu bytes).",
        archivePath.c_str(), directoryOffset, static_cast<unsigned long long>(archive.Size()));
    return Damaged();
  }
  if (count > archive.Remaining() / kMinDirectoryEntry) {
    LogMessage(kLogInfo,
               "Couldn't read archive %s: its directory claims %u entries, more than the file "
               "can hold.",
               archivePath.c_str(), count);
    return Damaged();
  }
  std::string name;
  for (std::uint32_t index = 0; index < count; ++index) {
    std::uint32_t length = 0;
    if (!archive.ReadU32(length) || length > archive.Remaining() ||
        archive.Remaining() - length < kArchiveEntryFields) {
      LogMessage(kLogInfo,
                 "Couldn't read archive %s: directory entry %u has a bogus name length (%u) or is "
                 "cut short.",
                 archivePath.c_str(), index, length);
      return Damaged();
    }
    // A name longer than any we look for cannot be the wanted one: pass over it.
    if (length > kArchiveNameMax) {
      archive.Skip(static_cast<std::uint64_t>(length) + kArchiveEntryFields);
      continue;
    }
    DirectoryEntry entry;
    if (!archive.ReadText(length, name) || !archive.ReadU32(entry.storedSize) ||
        !archive.ReadU32(entry.size) || !archive.ReadU32(entry.dataOffset) || !archive.Skip(12)) {
      return Damaged();  // only a read error gets here: the room was checked above
    }
    if (SameName(name, wanted)) {
      found = entry;
      return true;
    }
  }
  LogMessage(kLogInfo, "Couldn't find %s in archive %s.", wanted.c_str(), archivePath.c_str());
  return Fail(ENOENT);
}

bool WriteAll(std::FILE* output, const void* data, std::size_t count) {
  if (count == 0 || std::fwrite(data, 1, count, output) == count) return true;
  return Fail(errno != 0 ? errno : EIO);
}

// The output replaces the file in one step once it is whole: a damaged archive
// or a crash midway leaves whatever was there before. `write` fails with
// ErrorCode set, and that reason is kept.
bool WriteOutput(const std::string& outputPath, const std::function<bool(std::FILE*)>& write) {
  int failure = 0;
  const bool written = ReplaceFile(outputPath, [&](std::FILE* output) {
    if (write(output)) return true;
    failure = ErrorCode();
    return false;
  });
  if (!written && failure != 0) return Fail(failure);
  return written;
}

bool StoredEntryFits(ArchiveReader& archive, const std::string& archivePath,
                     const DirectoryEntry& entry) {
  if (!archive.Seek(entry.dataOffset) || entry.storedSize > archive.Remaining()) {
    LogMessage(kLogInfo,
               "Couldn't read archive %s: entry data at %u (%u bytes) lies beyond its end.",
               archivePath.c_str(), entry.dataOffset, entry.storedSize);
    return Damaged();
  }
  return true;
}

bool CopyStoredEntry(ArchiveReader& archive, const DirectoryEntry& entry, std::FILE* output) {
  if (!archive.Seek(entry.dataOffset)) return Damaged();
  // Copy through a fixed buffer: the stored size comes from the file.
  std::vector<std::uint8_t> chunk(kCopyChunk);
  for (std::uint32_t left = entry.storedSize; left > 0;) {
    const std::size_t piece = left < kCopyChunk ? left : kCopyChunk;
    if (!archive.Read(chunk.data(), piece)) return Damaged();
    if (!WriteAll(output, chunk.data(), piece)) return false;
    left -= static_cast<std::uint32_t>(piece);
  }
  return true;
}

// Accepts a block when the end marker was reached with all input used, or with
// the output exactly as long as the block claims. Anything else, and a block
// that stops short of its claimed size, is damage.
bool SegmentDecodedWell(int result, lzo_uint produced, std::uint32_t expected) {
  if (produced != expected) return false;
  return result == LZO_E_OK || result == LZO_E_INPUT_NOT_CONSUMED;
}

struct SegmentRow {
  std::uint32_t packedSize = 0;
  std::uint32_t size = 0;
  std::uint32_t offset = 0;  // from the end of the table
};

// Reads and weighs the whole segment table before anything is expanded: every
// segment within the buffers and the file, no two sharing packed bytes (one
// small block listed many times would expand a tiny archive to gigabytes), and
// the sizes adding up to the entry's, which itself is capped.
bool ReadSegmentTable(ArchiveReader& archive, const std::string& archivePath,
                      const DirectoryEntry& entry, std::vector<SegmentRow>& rows,
                      std::uint64_t& dataStart) {
  std::uint32_t segments = 0;
  if (!archive.Seek(entry.dataOffset) || !archive.ReadU32(segments) ||
      segments > archive.Remaining() / kSegmentRowSize) {
    LogMessage(kLogInfo, "Couldn't read archive %s: the segment table at %u lies beyond its end.",
               archivePath.c_str(), entry.dataOffset);
    return Damaged();
  }
  if (entry.size > kArchiveEntryMax) {
    LogMessage(kLogInfo, "Couldn't read archive %s: its entry claims %u bytes, more than %u.",
               archivePath.c_str(), entry.size, kArchiveEntryMax);
    return Damaged();
  }
  dataStart = archive.Position() + kSegmentRowSize * segments;
  rows.resize(segments);
  std::uint64_t total = 0;
  for (std::uint32_t index = 0; index < segments; ++index) {
    SegmentRow& row = rows[index];
    if (!archive.ReadU32(row.packedSize) || !archive.ReadU32(row.size) ||
        !archive.ReadU32(row.offset)) {
      return Damaged();  // only a read error gets here: the table's room was checked
    }
    if (row.packedSize > kCompressedSegmentMax || row.size > kDecompressedSegmentMax) {
      LogMessage(kLogInfo,
                 "Couldn't read archive %s: segment %u (%u bytes, %u expanded) exceeds the "
                 "segment buffers.",
                 archivePath.c_str(), index, row.packedSize, row.size);
      return Damaged();
    }
    if (dataStart + row.offset + row.packedSize > archive.Size()) {
      LogMessage(kLogInfo, "Couldn't read archive %s: segment %u lies beyond its end.",
                 archivePath.c_str(), index);
      return Damaged();
    }
    total += row.size;
  }
  // The segments must add up to the entry's size: more would let a small
  // archive fill the disk, less would pass a cut-short file as whole.
  if (total != entry.size) {
    LogMessage(kLogInfo,
               "Couldn't read archive %s: its segments hold %llu bytes where the entry has %u.",
               archivePath.c_str(), static_cast<unsigned long long>(total), entry.size);
    return Damaged();
  }
  std::vector<const SegmentRow*> byOffset;
  byOffset.reserve(rows.size());
  for (const SegmentRow& row : rows) byOffset.push_back(&row);
  std::sort(byOffset.begin(), byOffset.end(),
            [](const SegmentRow* a, const SegmentRow* b) { return a->offset < b->offset; });
  for (std::size_t i = 1; i < byOffset.size(); ++i) {
    const SegmentRow& before = *byOffset[i - 1];
    if (static_cast<std::uint64_t>(before.offset) + before.packedSize > byOffset[i]->offset) {
      LogMessage(kLogInfo, "Couldn't read archive %s: segments overlap at offset %u.",
                 archivePath.c_str(), byOffset[i]->offset);
      return Damaged();
    }
  }
  return true;
}

bool ExpandSegments(ArchiveReader& archive, const std::string& archivePath,
                    const std::vector<SegmentRow>& rows, std::uint64_t dataStart,
                    std::FILE* output) {
  std::vector<std::uint8_t> compressed(kCompressedSegmentMax);
  std::vector<std::uint8_t> expanded(kDecompressedSegmentMax);
  for (std::size_t index = 0; index < rows.size(); ++index) {
    const SegmentRow& row = rows[index];
    std::fill(compressed.begin(), compressed.end(), 0);
    std::fill(expanded.begin(), expanded.end(), 0);
    if (!archive.Seek(dataStart + row.offset) || !archive.Read(compressed.data(), row.packedSize)) {
      return Damaged();  // only a read error gets here: the room was checked
    }
    lzo_uint produced = row.size;
    const int result = lzo1x_decompress_safe(compressed.data(), row.packedSize, expanded.data(),
                                             &produced, nullptr);
    if (!SegmentDecodedWell(result, produced, row.size)) {
      LogMessage(kLogInfo,
                 "Couldn't read archive %s: segment %zu is corrupt (LZO error %d, %lu of %u "
                 "bytes).",
                 archivePath.c_str(), index, result, static_cast<unsigned long>(produced),
                 row.size);
      return Damaged();
    }
    if (!WriteAll(output, expanded.data(), row.size)) return false;
  }
  return true;
}

std::string EvolutionFilePath() {
  return Opts().serverDir + kModFolder + "/save/gamemodesettings/evolution.wst";
}

// Armed by a `maps` tag, disarmed by examining the `map_` tag after it; the
// state outlives a single lookup, as the game data is read once per map.
StateTable<bool> g_armed;
bool& g_evolutionArmed = *g_armed;

void XMLCALL OnEvolutionTag(void* userData, const XML_Char* name, const XML_Char** attributes) {
  auto* reading = static_cast<EvolutionReading*>(userData);
  if (std::strcmp(name, "maps") == 0) {
    reading->endsArmed = true;
    return;
  }
  if (!reading->endsArmed || strcasecmp(name, "map_") != 0 || attributes[0] == nullptr) return;
  reading->endsArmed = false;
  if (std::strcmp(attributes[0], "name") == 0) {
    std::string mapName = attributes[1];
    reading->names.insert(LowerCaseInPlace(mapName));
  }
}

struct ParserFree {
  void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

}  // namespace

bool ExtractArchiveEntry(const std::string& archivePath, const std::string& entryName,
                         const std::string& outputPath) {
  ArchiveReader archive;
  if (!archive.Open(archivePath)) return false;
  DirectoryEntry entry;
  if (!FindEntry(archive, archivePath, entryName, entry)) return false;
  if (entry.storedSize == entry.size) {
    if (!StoredEntryFits(archive, archivePath, entry)) return false;
    return WriteOutput(outputPath,
                       [&](std::FILE* output) { return CopyStoredEntry(archive, entry, output); });
  }
  std::vector<SegmentRow> rows;
  std::uint64_t dataStart = 0;
  if (!ReadSegmentTable(archive, archivePath, entry, rows, dataStart)) return false;
  return WriteOutput(outputPath, [&](std::FILE* output) {
    return ExpandSegments(archive, archivePath, rows, dataStart, output);
  });
}

EvolutionScan::EvolutionScan() = default;
EvolutionScan::~EvolutionScan() = default;

unsigned EvolutionScan::Listed(const std::string& map) {
  const bool armed = g_evolutionArmed;
  std::unique_ptr<EvolutionReading>& reading = readings_[armed ? 1 : 0];
  if (!reading) {
    reading = std::make_unique<EvolutionReading>();
    if (!Read(armed, *reading)) {
      reading.reset();  // nothing was read: the next lookup tries again
      return 0;
    }
  }
  if (!reading->complaint.empty()) LogMessage(kLogInfo, "%s", reading->complaint.c_str());
  g_evolutionArmed = reading->endsArmed;
  std::string lowered = map;
  return reading->names.count(LowerCaseInPlace(lowered)) != 0 ? 4 : 0;
}

// The armed state at the start decides what the file lists, so a scan reads it
// at most twice, once from each state.
bool EvolutionScan::Read(bool armed, EvolutionReading& reading) {
  reading.endsArmed = armed;
  FileHandle file(std::fopen(EvolutionFilePath().c_str(), "rb"));
  if (!file) {
    LogMessage(kLogInfo, "Couldn't open evolutions data file! %s", ErrorText(errno));
    return false;
  }
  std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
  if (!parser) return false;
  XML_SetUserData(parser.get(), &reading);
  XML_SetElementHandler(parser.get(), OnEvolutionTag, nullptr);
  std::array<char, kEvolutionPiece> piece;
  for (;;) {
    const std::size_t length = std::fread(piece.data(), 1, piece.size(), file.get());
    const bool last = length < piece.size();
    if (XML_Parse(parser.get(), piece.data(), static_cast<int>(length), last) == XML_STATUS_ERROR) {
      char line[kLogMessageMax + 1];
      std::snprintf(line, sizeof line, "Couldn't parse Evolution.wst! %s at line %d.",
                    XML_ErrorString(XML_GetErrorCode(parser.get())),
                    static_cast<int>(XML_GetCurrentLineNumber(parser.get())));
      reading.complaint = line;
      break;
    }
    if (last) break;
  }
  return true;
}

unsigned EvolutionMapListed(const std::string& map) {
  EvolutionScan scan;
  return scan.Listed(map);
}

void ResetEvolutionSearch() {
  g_armed.Reset();
}

}  // namespace keldor
