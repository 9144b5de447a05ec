// Scans the server directory for installed mods and their level archives and
// writes mods.con and maps.con for the clients.
#include "maps/discovery.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "maps/archive.h"
#include "maps/archive_io.h"
#include "runtime/options.h"

namespace keldor {

namespace {

constexpr std::size_t kMapNameMax = 63;
constexpr std::size_t kModLineMax = 31;        // longest mod name in mods.con
constexpr std::uint32_t kLevelNameMax = 1047;  // longer names are passed over unread
constexpr const char* kLevelsFolder = "/archives/bfvietnam/levels/";
constexpr const char* kBaseMod = "bf1942";

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Replaces the list file in one step with what `write` puts out; a list that
// could not be written whole must not pass for a good one, nor replace one.
// `write` sets `logged` when it has logged its failure itself.
bool WriteListFile(const std::string& path,
                   const std::function<bool(std::FILE*, bool& logged)>& write) {
  bool logged = false;
  if (ReplaceFile(path, [&](std::FILE* out) { return write(out, logged); })) return true;
  if (!logged) {
    LogMessage(kLogInfo, "Couldn't write %s file! %s", path.c_str(), ErrorText(ErrorCode()));
  }
  return false;
}

bool DirectoryFailure(const std::string& where, const char* what) {
  const int code = errno;
  LogMessage(kLogInfo, "Couldn't detect available %s! %s", what, ErrorText(code));
  LogMessage(kLogInfo, "Verify all directory names in %s exist and are lowercase.", where.c_str());
  return Fail(code);
}

bool EndsWith(const std::string& text, const char* suffix) {
  const std::size_t length = std::strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

bool IsLevelArchive(const std::string& name) {
  return (name.find(".RFA") != std::string::npos || name.find(".rfa") != std::string::npos) &&
         name.find("_0") == std::string::npos;
}

std::string MapNameOf(const std::string& archiveName) {
  std::string map = CutToWidth(archiveName, kMapNameMax);
  LowerCaseInPlace(map);
  return map.substr(0, map.find(".rfa"));
}

std::string LevelsDirectory(const std::string& mod) {
  return Opts().serverDir + "/mods/" + mod + kLevelsFolder;
}

unsigned MapGameTypes(const std::string& mod, const std::string& map, EvolutionScan& evolution) {
  unsigned bits = 0;
  unsigned found = 0;
  const std::string base = LevelsDirectory(kBaseMod) + map + ".rfa";
  if (strcasecmp(mod.c_str(), kBaseMod) != 0 && FileExists(base) && LevelGameTypes(base, found)) {
    bits |= found;
  }
  found = 0;
  if (LevelGameTypes(LevelsDirectory(mod) + map + ".rfa", found)) bits |= found;
  return bits | evolution.Listed(map) | kGameTypeCustomCombat;
}

bool WriteModMaps(std::FILE* out, const std::string& mod, EvolutionScan& evolution) {
  const std::string levels = LevelsDirectory(mod);
  LogDebug("DEBUG: WriteMapsFile: path=%s\n", levels.c_str());
  DirHandle dir(opendir(levels.c_str()));
  if (!dir) return DirectoryFailure(levels, "maps");
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (!IsLevelArchive(name)) continue;
    const std::string map = MapNameOf(name);
    std::fprintf(out, "%s,%s,%u\n", mod.c_str(), map.c_str(), MapGameTypes(mod, map, evolution));
  }
  return true;
}

}  // namespace

bool WriteModsFile(const std::string& path) {
  const std::string modsDir = Opts().serverDir + "/mods";
  DirHandle dir(opendir(modsDir.c_str()));
  if (!dir) return DirectoryFailure(modsDir, "mods");
  return WriteListFile(path, [&](std::FILE* out, bool& logged) {
    while (const dirent* entry = readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      // Looked at under its real name (a mixed-case entry must not stop the scan);
      // listed in lower case, as the game addresses mods.
      const std::string modPath = modsDir + "/" + name;
      LogDebug("DEBUG: WriteModsFile: path=%s\n", modPath.c_str());
      struct stat status;
      if (lstat(modPath.c_str(), &status) != 0) {
        logged = true;
        return DirectoryFailure(modPath, "mods");
      }
      if (!S_ISDIR(status.st_mode)) continue;
      std::string lowered = name;
      LowerCaseInPlace(lowered);
      if (FileExists(modPath + "/init.con")) {
        std::fprintf(out, "%s\n", lowered.c_str());
      } else {
        LogDebug("DEBUG: Couldn't detect init.con for mod %s!", lowered.c_str());
      }
    }
    return std::ferror(out) == 0;
  });
}

bool WriteMapsFile(const std::string& path) {
  const std::string modsPath = Opts().settingsDir + "/mods.con";
  FileHandle mods(std::fopen(modsPath.c_str(), "r"));
  if (!mods) {
    LogMessage(kLogInfo, "Couldn't open %s file! %s", modsPath.c_str(), ErrorText(errno));
    return Fail(errno);
  }
  return WriteListFile(path, [&](std::FILE* out, bool& logged) {
    EvolutionScan evolution;  // the evolution data is read once for all the maps
    bool failed = false;
    // A line of mods.con is always read whole: cutting a long one into pieces
    // would list names of mods that do not exist, and a piece holding just the
    // line end would pass for the empty last line.
    const auto writeMod = [&](std::string& mod, bool overlong) {
      if (mod.empty() && !overlong) return false;  // an empty line ends the list
      if (overlong) {
        LogMessage(kLogInfo, "WARNING: Mod name %s... is longer than %zu characters, skipping it.",
                   mod.c_str(), kModLineMax);
        return true;
      }
      failed = !WriteModMaps(out, mod, evolution);
      return !failed;
    };
    const bool read = ForEachLine(mods.get(), kModLineMax, true, writeMod);
    logged = failed || !read;  // WriteModMaps says why it failed
    if (failed) return false;
    if (!read) {
      LogMessage(kLogInfo, "Couldn't read mods file! %s", ErrorText(ErrorCode()));
      return false;
    }
    return std::ferror(out) == 0;
  });
}

bool LevelGameTypes(const std::string& archivePath, unsigned& bits) {
  bits = 0;
  ArchiveReader archive;
  if (!archive.Open(archivePath)) {
    LogMessage(kLogInfo, "Couldn't open %s file! %s", archivePath.c_str(), ErrorText(ErrorCode()));
    return false;
  }
  std::uint32_t directoryOffset = 0;
  std::uint32_t count = 0;
  if (!ReadDirectoryOffset(archive, directoryOffset) || !archive.Seek(directoryOffset) ||
      !archive.ReadU32(count)) {
    LogMessage(kLogInfo, "Couldn't read archive %s: its directory lies beyond its end.",
               archivePath.c_str());
    return true;  // the archive was there; it just names no game types
  }
  // Ends at the count or at the end of the file, whichever comes first; every
  // step consumes at least the length word, so a bogus count cannot spin.
  std::string name;
  for (std::uint32_t index = 0; index < count; ++index) {
    std::uint32_t length = 0;
    if (!archive.ReadU32(length)) break;
    if (length > kLevelNameMax) {
      if (!archive.Skip(static_cast<std::uint64_t>(length) + kArchiveEntryFields)) break;
      continue;
    }
    if (!archive.ReadText(length, name) || !archive.Skip(kArchiveEntryFields)) break;
    UpperCaseInPlace(name);
    if (EndsWith(name, "/GAMETYPES/CONQUEST.CON")) bits |= kGameTypeConquest;
    if (EndsWith(name, "/GAMETYPES/COOP.CON")) bits |= kGameTypeCoop;
  }
  return true;
}

}  // namespace keldor
