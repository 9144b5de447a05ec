// The daemon's process-wide state owned by the core: command-line flags and
// paths, what is known about the game server process, the last error and the
// facts recorded by the signal handlers. Other subsystems keep their own tables
// beside it and reset them through ResetAllState() (core/startup.h).
#pragma once

#include <sys/select.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keldor {

constexpr std::size_t kPathMax = 4095;        // longest path kept
constexpr std::size_t kNameMax = 31;          // names and credentials
constexpr std::size_t kArgBufferSize = 1024;  // ServerArgs and ServerCmds, with their NUL
constexpr std::uint16_t kDefaultListenPort = 15667;
constexpr std::size_t kStatusReplySize = 32768;
constexpr const char* kServerBinary = "bfv_linded";
constexpr const char* kModFolder = "/mods/bfvietnam";
constexpr const char* kVersionText = "Keldor v2.0 beta 4e";

struct ManagerState {
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

  // Options.
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
  bool reuseAddress = false;
  bool renice = false;
  int priority = 0;
  bool useSyslog = false;
  int syslogFacility = 0;  // LOG_LOCAL0..LOG_LOCAL7
  bool debug = false;
  bool statusLog = false;
  bool messageLog = false;
  int statusMonitor = 0;
  // @game.gameSpyPort / @game.gameSpyLANPort values; -1 when not given. They are
  // applied over the loaded settings so that Keldor queries the port the game uses.
  long gameSpyPortOverride = -1;
  long gameSpyLanPortOverride = -1;

  // Filled during start-up.
  std::string systemDescription;
  bool punkBusterInstalled = false;
  bool daemonized = false;

  // The game server process.
  int serverPid = 0;  // -1 = any, 0 = none known
  bool monitoring = false;
  std::string consoleUser;  // credentials in use; non-empty user = console may be used
  std::string consolePass;

  std::vector<char> statusReply;  // last status query reply

  int errorCode = 0;  // last failure: errno value or one of our own codes

  // Main loop.
  int listenSocket = -1;
  fd_set masterSet{};
};

ManagerState& State();

// Puts the core state back to its start values (tests call it before each case).
void ResetManagerState();

// Shorthand for the common "record and fail" pattern.
inline bool Fail(int code) {
  State().errorCode = code;
  return false;
}

// Facts the signal handlers record; the main loop reads them at the top of each pass.
struct SignalFacts {
  volatile std::sig_atomic_t caughtSignal = 0;
  volatile std::sig_atomic_t serverExitStatus = -1;  // doubles as our exit status
  volatile std::sig_atomic_t serverExited = 0;
  volatile std::sig_atomic_t sawTerm = 0;  // DEBUG lines owed for caught signals
  volatile std::sig_atomic_t sawInt = 0;
  volatile std::sig_atomic_t sawChld = 0;
};

SignalFacts& Signals();
void ResetSignalFacts();

}  // namespace keldor
