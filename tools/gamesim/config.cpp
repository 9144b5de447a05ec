// The stand-in server's command line and start-up files.
#include "config.h"

#include <sstream>

#include "commands.h"
#include "core/helpers.h"

namespace gamesim {
namespace {

constexpr std::size_t kMaxFileLines = 10000;  // lines read from one game file
constexpr std::size_t kMaxLineLength = 1023;
constexpr std::size_t kMaxRotation = 256;

std::optional<long> Number(const std::string& text, long low, long high) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || value < low || value > high) return std::nullopt;
  return value;
}

// The lines of a file, CR and LF removed, each cut to kMaxLineLength.
std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  keldor::ForEachLine(path, kMaxLineLength, false, [&lines](std::string& line, bool) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    return lines.size() < kMaxFileLines;
  });
  return lines;  // a missing file has none
}

void RunFile(Server& server, const std::string& path) {
  std::vector<std::string> ignored;
  for (const std::string& line : ReadLines(path)) {
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    RunConsoleLine(server, line, ignored);
  }
}

std::string SimulationOption(const std::string& word) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"+simSeed", "--seed"},
      {"+simPlayers", "--players"},
      {"+simBots", "--bots"},
      {"+simLaggers", "--laggers"},
      {"+simTick", "--tick"},
      {"+simRoundSeconds", "--round-seconds"},
      {"+simQuitStatus", "--quit-status"}};
  for (const auto& [plus, dashes] : kNames) {
    if (word == plus) return dashes;
  }
  return word;
}

}  // namespace

std::optional<Options> ParseArguments(const std::vector<std::string>& words, std::string& error) {
  Options options;
  for (std::size_t i = 0; i < words.size(); ++i) {
    // Keldor passes only "+key value" server arguments on, so the simulation's
    // own options also come as "+simSeed 7", "+simPlayers 8", ...
    const std::string word = SimulationOption(words[i]);
    const bool hasValue = i + 1 < words.size();
    const std::string value = hasValue ? words[i + 1] : "";
    std::optional<long> number;
    if (word == "+statusMonitor" || word == "+overlayPath" || word.rfind("--", 0) == 0) {
      if (!hasValue) {
        error = word + " requires an argument";
        return std::nullopt;
      }
      ++i;
    }
    if (word == "+statusMonitor") {
      options.statusMonitor = std::atoi(value.c_str());
    } else if (word == "+overlayPath") {
      options.overlayPath = (value.empty() || value.back() == '/') ? value : value + "/";
    } else if (word.size() > 1 && word[0] == '+') {
      // Other server arguments come in pairs; a last one may stand alone.
      options.serverArgs.emplace_back(word, hasValue ? value : "");
      if (hasValue) ++i;
    } else if (word == "--seed" && (number = Number(value, 0, 4294967295L))) {
      options.seed = static_cast<std::uint32_t>(*number);
    } else if (word == "--players" && (number = Number(value, 0, 64))) {
      options.players = static_cast<int>(*number);
    } else if (word == "--bots" && (number = Number(value, 0, 64))) {
      options.bots = static_cast<int>(*number);
    } else if (word == "--laggers" && (number = Number(value, 0, 64))) {
      options.laggers = static_cast<int>(*number);
    } else if (word == "--tick" && (number = Number(value, 0, 3600))) {
      options.tickSeconds = static_cast<double>(*number);
    } else if (word == "--round-seconds" && (number = Number(value, 1, 86400))) {
      options.roundSeconds = *number;
    } else if (word == "--quit-status" && (number = Number(value, 0, 255))) {
      options.quitStatus = static_cast<int>(*number);
    } else {
      error = "cannot take " + word + (word.rfind("--", 0) == 0 ? " " + value : "");
      return std::nullopt;
    }
  }
  return options;
}

std::string SettingsDirectory(const std::string& serverDir, const Options& options) {
  if (!options.overlayPath.empty()) return options.overlayPath + "settings";
  return serverDir + "/mods/bfvietnam/settings";
}

std::vector<MapCombo> ParseMapList(const std::vector<std::string>& lines) {
  std::vector<MapCombo> rotation;
  std::optional<MapCombo> first;
  for (const std::string& line : lines) {
    std::istringstream stream(line);
    std::string command;
    MapCombo combo;
    if (!(stream >> command >> combo.map >> combo.mode >> combo.mod)) continue;
    combo.map = LowerCase(combo.map);
    combo.mod = LowerCase(combo.mod);
    command = LowerCase(command);
    if (command == "game.setcurrentlevel" && !first)
      first = combo;
    else if (command == "game.addleveltorotation" && rotation.size() < kMaxRotation) {
      rotation.push_back(combo);
    }
  }
  if (first) {
    // The level set as current starts the rotation unless it is its first entry.
    const bool alreadyFirst = !rotation.empty() && rotation.front().map == first->map &&
                              rotation.front().mode == first->mode;
    if (!alreadyFirst) rotation.insert(rotation.begin(), *first);
  }
  return rotation;
}

void LoadGameFiles(Server& server) {
  RunFile(server, server.settingsDir + "/serversettings.con");
  RunFile(server, server.settingsDir + "/serverautoexec.con");
  RunFile(server, server.settingsDir + "/banlist.con");
  server.game.LoadGuidBanLines(ReadLines(server.serverDir + "/pb/pbbans.dat"));
  server.game.SetRotation(ParseMapList(ReadLines(server.settingsDir + "/maplist.con")));
  // What was just read is what the files hold.
  server.game.bansChanged = false;
  server.game.guidBansChanged = false;
  server.game.TakeEvents();
  server.game.TakeOutput();
  server.commandCount = 0;
  server.lastMessage.clear();
}

}  // namespace gamesim
