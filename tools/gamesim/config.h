// The command line the stand-in server is started with, and the game files it
// reads from the settings directory at start-up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server.h"

namespace gamesim {

struct Options {
  int statusMonitor = 0;
  std::string overlayPath;                                      // ends with '/' when set
  std::vector<std::pair<std::string, std::string>> serverArgs;  // other "+key value" pairs
  std::uint32_t seed = 1;
  int players = 0;           // simulated players present from the start
  int bots = 0;              // AI bots present from the start
  int laggers = 0;           // players whose ping stays high, kept on the server
  double tickSeconds = 0;    // simulation period; 0 leaves the players alone
  long roundSeconds = 1200;  // round length when admin.timeLimit is 0
  int quitStatus = 0;        // exit status of the console's "quit"
};

// Parses the arguments; nullopt with `error` for a word it cannot take.
std::optional<Options> ParseArguments(const std::vector<std::string>& words, std::string& error);

// overlay path + "settings", or the server directory's mods/bfvietnam/settings.
std::string SettingsDirectory(const std::string& serverDir, const Options& options);

// Reads serversettings.con, serverautoexec.con, banlist.con and maplist.con
// from the settings directory and pb/pbbans.dat from the server directory;
// missing files leave the defaults.
void LoadGameFiles(Server& server);

// The rotation of maplist.con lines (game.setCurrentLevel first, then
// game.addLevelToRotation in order).
std::vector<MapCombo> ParseMapList(const std::vector<std::string>& lines);

constexpr const char* kUsage =
    "usage: gamesim [+statusMonitor N] [+overlayPath DIR] [+key value ...]\n"
    "               [--seed N] [--players N] [--bots N] [--tick SECONDS]\n"
    "               [--round-seconds N] [--quit-status N]\n";

}  // namespace gamesim
