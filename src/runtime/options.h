// What the command line and start-up decide: directories, the options and what
// is passed on to the game server. Written while Keldor starts, read-only after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keldor {

constexpr std::size_t kPathMax = 4095;        // longest path kept
constexpr std::size_t kNameMax = 31;          // names and credentials
constexpr std::size_t kArgBufferSize = 1024;  // ServerArgs and ServerCmds, with their NUL
constexpr std::uint16_t kDefaultListenPort = 15667;
constexpr const char* kServerBinary = "bfv_linded";
constexpr const char* kModFolder = "/mods/bfvietnam";

struct Options {
  // Directories and files.
  std::string serverDir;    // no trailing '/'
  std::string overlayPath;  // ends with '/' when set
  std::string settingsDir;
  std::string pidFilePath;

  // What the command line passes on to the game server.
  std::string serverArgs;  // each word and argument preceded by one space
  // The same words and arguments, one element each, for the server's argument
  // vector: an argument may hold blanks.
  std::vector<std::string> serverArgWords;
  std::string serverCmds;  // "key value\n" lines

  std::uint32_t ipOption = 0;  // -ip, 0 when not given
  std::uint16_t listenPort = kDefaultListenPort;
  bool adminMessages = true;  // cleared by -noadmin
  bool kickDelay = true;      // cleared by -nodelay
  bool daemon = false;
  bool writePidFile = false;
  bool startServer = false;
  bool stopServer = false;
  bool autoRestart = false;
  bool quitWithServer = false;
  bool killInstance = false;
  bool stopServerOnExit = false;
  bool reuseAddress = false;  // -reuseaddr: accepted; the address is always reused now
  bool renice = false;
  int priority = 0;
  bool statusLog = false;
  bool messageLog = false;
  int statusMonitor = 0;
  // @game.gameSpyPort / @game.gameSpyLANPort values; -1 when not given. They are
  // applied over the loaded settings so that Keldor queries the port the game uses.
  long gameSpyPortOverride = -1;
  long gameSpyLanPortOverride = -1;

  // The fleet's database (a libpq connection string; empty: no fleet) and this
  // server's name in it (empty: the game server's name, else the host name).
  std::string fleetConnInfo;
  std::string fleetName;

  // The Prometheus text file rewritten on every monitor pass (-metrics); empty: none.
  std::string metricsPath;
  // Monitor passes (3 s each) in which neither the console nor the status
  // query answered before a running game server counts as hung (-hang); 0: not watched.
  int hangPasses = 0;
  // An upload after which the game server keeps crashing at start-up is undone
  // at the restart-loop stop; -norollback leaves such an upload in place.
  bool rollback = true;

  // Found during start-up.
  std::string systemDescription;
  bool punkBusterInstalled = false;
};

Options& Opts();

}  // namespace keldor
