// What the stand-in server keeps beside the game: its directories, console
// credentials, the switches the control channel flips, and its log.
#pragma once

#include <string>

#include "game.h"

namespace gamesim {

struct Server {
  explicit Server(std::uint32_t seed) : game(seed) {}

  Game game;
  std::string serverDir;    // the working directory, no trailing '/'
  std::string settingsDir;  // overlay path + "settings", or the mod's settings directory

  // Remote console, from "admin.enableRemoteConsole user password port".
  bool consoleEnabled = false;
  std::string consoleUser;
  std::string consolePassword;
  int consolePort = 5711;

  // Switches of the control channel.
  bool refuseLogins = false;  // every login gets the zero verdict
  bool muted = false;         // the console neither reads nor answers
  bool hung = false;          // as muted, and the status query goes unanswered too
  int quitStatus = 0;         // exit status of the console's "quit"
  bool quitRequested = false;

  int statusPort = 0;  // the port the status query is answered on

  std::string lastMessage;  // last server message or chat line sent through the console
  long commandCount = 0;    // console command lines carried out
};

// One log line, with the time, to gamesim.log in the working directory.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Rewrites banlist.con and pb/pbbans.dat when the game changed them.
void SaveBanFiles(Server& server);

}  // namespace gamesim
