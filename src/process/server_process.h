// Launching, finding, stopping and watching the game server process.
#pragma once

#include <ctime>
#include <string>

namespace keldor {

// What the process subsystem keeps about the supervised game server.
struct ServerWatch {
  std::time_t launchTime = 0;
  std::time_t crashTime = 0;
  int restartLoopCount = 0;
  double serverVersion = 0.0;      // detected from the status reply; 0 = unknown
  std::string currentMapOverride;  // map combo, at most 127 characters
};

ServerWatch& Watch();
void ResetServerWatch();

// Validates the settings, writes the game's files and forks the game server.
bool StartServer();

// Looks for the game server in the process table: -1 accepts any matching
// process, 0 never matches; the pid is updated to the process found.
bool FindServerProcess(int* pid);

// Stops the game server: "quit" over the console, then SIGKILL if it lingers.
bool StopServer();

void MonitorServer();
void CrashWatch();

}  // namespace keldor
