// Which map combo is current: the override, or the level the rotation file
// starts with; and the game mode codes of the status reply's game types.
#include "maps/rotation.h"

#include <strings.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "runtime/game_server.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"

namespace keldor {

namespace {

constexpr std::size_t kMapListLineMax = 1023;
constexpr const char* kSetCurrentLevel = "game.setCurrentLevel";

StateTable<std::string> g_override;

// The first N blank-delimited words of `text` (with `restInLast` the last one
// takes the rest of the text); false when there are fewer.
template <std::size_t N>
bool SplitWords(const std::string& text, std::array<std::string, N>* words, bool restInLast) {
  std::size_t pos = 0;
  for (std::size_t k = 0; k < N; ++k) {
    const std::size_t start = text.find_first_not_of(' ', pos);
    if (start == std::string::npos) return false;
    const bool rest = restInLast && k + 1 == N;
    const std::size_t end = rest ? std::string::npos : text.find(' ', start);
    (*words)[k] = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    pos = end == std::string::npos ? text.size() : end + 1;
  }
  return true;
}

std::string JoinCombo(const std::string& map, const std::string& mode, const std::string& mod) {
  return map + " " + mode + " " + mod;
}

// The combo of a game.setCurrentLevel line, or nothing for any other line.
std::optional<std::string> LevelOfLine(const std::string& line) {
  std::array<std::string, 4> words;
  if (!SplitWords(line, &words, true) || strcasecmp(words[0].c_str(), kSetCurrentLevel) != 0) {
    return std::nullopt;
  }
  return JoinCombo(words[1], words[2], words[3]);
}

// Reads every line of `path` with CR and LF removed; a line too long to be a
// command is passed over. False (with ErrorCode) when the file cannot be read.
bool ReadLines(const std::string& path, std::vector<std::string>* lines, bool* opened) {
  const auto keep = [lines](std::string& line, bool cut) {
    if (!cut) lines->push_back(line);
    return true;
  };
  return ForEachLine(path, kMapListLineMax, true, keep, opened);
}

}  // namespace

const char* GameModeCode(const std::string& gameType) {
  static constexpr std::array<std::array<const char*, 2>, 4> kCodes = {{
      {"conquest", "GPM_CQ"},
      {"coop", "GPM_COOP"},
      {"evolution", "GPM_EVOL"},
      {"customcombat", "GPM_CCOMBAT"},
  }};
  for (const auto& [type, code] : kCodes) {
    if (strcasecmp(gameType.c_str(), type) == 0) return code;
  }
  return "???";
}

std::string MapComboOf(std::string mapName, std::string gameType, std::string mod) {
  std::string map = CutToWidth(std::move(mapName), kComboMapMax);
  LowerCaseInPlace(map);
  for (char& c : map) {
    if (c == ' ') c = '_';
  }
  std::string type = CutToWidth(std::move(gameType), kComboModMax);
  std::string modName = CutToWidth(std::move(mod), kComboModMax);
  return JoinCombo(map, GameModeCode(LowerCaseInPlace(type)), LowerCaseInPlace(modName));
}

std::optional<std::string> CurrentLevelCombo() {
  if (std::array<std::string, 3> words; SplitWords(*g_override, &words, false)) {
    return JoinCombo(words[0], words[1], words[2]);
  }
  const std::string path =
      Opts().settingsDir + (GameServer().monitoring ? "/maplist.con" : "/servermaplist.con");
  std::vector<std::string> lines;
  bool opened = false;
  if (!ReadLines(path, &lines, &opened)) {
    LogMessage(kLogInfo,
               opened ? "Couldn't read map list file! %s" : "Couldn't open map list file! %s",
               ErrorText(ErrorCode()));
    return std::nullopt;
  }
  for (const std::string& line : lines) {
    if (auto combo = LevelOfLine(line)) return CutToWidth(*combo, kMapComboMax);
  }
  return std::string("-");
}

void SetCurrentMapOverride(const std::string& combo) {
  *g_override = CutToWidth(combo, kMapComboMax);
}

const std::string& CurrentMapOverride() {
  return *g_override;
}

bool WriteMapListStartingAt(const std::string& source, const std::string& target,
                            const std::string& combo) {
  std::vector<std::string> lines;
  bool opened = false;
  if (!ReadLines(source, &lines, &opened)) return false;
  const std::string first = std::string(kSetCurrentLevel) + " " + combo;
  bool named = false;
  for (std::string& line : lines) {
    if (LevelOfLine(line)) {
      line = first;
      named = true;
    }
  }
  if (!named) lines.insert(lines.begin(), first);
  return ReplaceFile(target, [&](std::FILE* f) {
    for (const std::string& line : lines) std::fprintf(f, "%s\n", line.c_str());
    return std::ferror(f) == 0;
  });
}

}  // namespace keldor
