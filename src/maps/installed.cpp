// Checks map combos against maps.con, so that a typo never sends the game
// server to a map it does not have.
#include "maps/installed.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "core/helpers.h"
#include "core/owned.h"
#include "maps/discovery.h"
#include "runtime/options.h"

namespace keldor {

namespace {

constexpr std::size_t kMapsLineMax = 255;
constexpr std::size_t kQuotedLineMax = 100;  // of a refused rotation line in the log

struct ModeCode {
  const char* code;
  unsigned bit;  // in maps.con
};
constexpr ModeCode kModeCodes[] = {{"GPM_CQ", kGameTypeConquest},
                                   {"GPM_COOP", kGameTypeCoop},
                                   {"GPM_EVOL", kGameTypeEvolution},
                                   {"GPM_CCOMBAT", kGameTypeCustomCombat}};
constexpr const char* kRotationLevelCommands[] = {"game.setCurrentLevel",
                                                  "game.addLevelToRotation"};

struct InstalledMap {
  std::string mod;
  std::string map;
  unsigned bits = 0;
};

// maps.con as read; nothing when it cannot be opened.
std::optional<std::vector<InstalledMap>> ReadInstalledMaps() {
  std::vector<InstalledMap> maps;
  const auto take = [&maps](std::string& line, bool) {
    const std::size_t first = line.find(',');
    const std::size_t second = line.find(',', first == std::string::npos ? first : first + 1);
    if (second == std::string::npos) return true;
    maps.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1),
                    static_cast<unsigned>(std::strtoul(line.c_str() + second + 1, nullptr, 10))});
    return true;
  };
  if (!ForEachLine(Opts().settingsDir + "/maps.con", kMapsLineMax, true, take)) return std::nullopt;
  return maps;
}

bool Same(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The maps.con bit of a game mode code; 0 for anything else.
unsigned ModeBit(const std::string& mode) {
  for (const ModeCode& m : kModeCodes) {
    if (Same(mode, m.code)) return m.bit;
  }
  return 0;
}

std::string Refusal(const std::vector<std::string>& words, const std::vector<InstalledMap>& maps) {
  if (words.size() != 3) return "a map combo is three words: map, game mode and mod";
  const std::string &map = words[0], &mode = words[1], &mod = words[2];
  const unsigned bit = ModeBit(mode);
  if (bit == 0) return mode + " is not a game mode";
  bool modKnown = false;
  for (const InstalledMap& m : maps) {
    if (!Same(m.mod, mod)) continue;
    modKnown = true;
    if (!Same(m.map, map)) continue;
    if ((m.bits & bit) != 0) return std::string();
    return "the map " + map + " of " + mod + " has no game mode " + mode;
  }
  if (!modKnown) return "the mod " + mod + " is not installed";
  return "the map " + map + " is not installed in " + mod;
}

// The combo of a rotation line that names a level; nothing for other lines.
std::optional<std::vector<std::string>> LevelOfLine(const std::string& line) {
  std::vector<std::string> words = Words(line);
  if (words.empty()) return std::nullopt;
  for (const char* command : kRotationLevelCommands) {
    if (Same(words[0], command)) return std::vector<std::string>(words.begin() + 1, words.end());
  }
  return std::nullopt;
}

}  // namespace

std::string ComboRefusal(const std::string& combo) {
  const auto maps = ReadInstalledMaps();
  return maps ? Refusal(Words(combo), *maps) : std::string();
}

std::string RotationRefusal(const std::string& text) {
  const auto maps = ReadInstalledMaps();
  if (!maps) return std::string();
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    line = FlattenLine(line);
    line.erase(line.find_last_not_of(' ') + 1);
    const auto level = LevelOfLine(line);
    if (!level) continue;
    const std::string refusal = Refusal(*level, *maps);
    if (refusal.empty()) continue;
    return "line " + std::to_string(number) + " (" + CutToWidth(line, kQuotedLineMax) +
           "): " + refusal;
  }
  return std::string();
}

}  // namespace keldor
