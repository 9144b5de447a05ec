// Launching, finding, stopping and watching the game server process.
#pragma once

#include <ctime>
#include <string>

namespace keldor {

// A server that ends this soon after its launch crashed at start-up; one that
// lives longer ran steadily.
constexpr std::time_t kQuickCrashSeconds = 60;

// What the process subsystem keeps about the supervised game server.
struct ServerWatch {
  std::time_t launchTime = 0;         // monotonic seconds, for the restart-loop window
  std::time_t quickConnectUntil = 0;  // monotonic; see ConsoleConnectHurried
  std::time_t crashTime = 0;
  // Monotonic; when the hang watch killed the server, which the restart-loop
  // rule takes as the time of its crash. 0: it did not.
  std::time_t hangKilledAt = 0;
  int restartLoopCount = 0;     // quick crashes (within a minute of a launch)
  std::string currentMapCombo;  // "map mode mod", at most 127 characters
  std::string idleMapCombo;     // where an idle server goes; empty = off
  unsigned idleCount = 0;       // monitor passes in a row that saw no players
  bool paused = false;
  bool statsLogged = false;  // statistics written for the current round end
};

ServerWatch& Watch();

// What the jobs set and read of it.
void SetIdleMapCombo(const std::string& combo);
const std::string& IdleMapCombo();
bool GamePaused();
void SetGamePaused(bool paused);

// Validates the settings, writes the game's files and forks the game server.
// With `keepMap` (a restart after a crash) the server starts with the current
// map override, which stays set; otherwise the override is emptied.
bool StartServer(bool keepMap = false);

// Looks for the game server in the process table: -1 accepts any matching
// process, 0 never matches; the pid is updated to the process found.
bool FindServerProcess(int* pid);

// Stops the game server: "quit" over the console, then SIGKILL if it lingers.
bool StopServer();

void MonitorServer();
void CrashWatch();

// Asked once the restart-loop guard has given the server up after `crashes`
// quick crashes: it may put right what keeps the server down and start it
// once more. Wiring, not state (see ConnectSubsystems); null: none.
using RestartLoopRescue = bool (*)(int crashes);
void SetRestartLoopRescue(RestartLoopRescue rescue);

// One pass of the hang watch (-hang), from the monitor pass: counts the passes
// in which neither the console nor the status query of a running server
// answered, reports the hang after Opts().hangPasses of them, and with -restart
// kills the server for the crash watch to restart. It never waits: while the
// console is down, the status probe it sends is looked at on the next pass.
void WatchForHang();

// True for a while after a launch until the console is connected: a new server
// opens its console within moments, and waiting for the next 3-second monitor
// pass would leave it unwatched and unpoliced for seconds. The loop then tries
// the console every few hundred milliseconds. Any answer other than a refused
// connection (a wrong password, say) ends the hurry, so that the log does not
// fill with the same failure.
bool ConsoleConnectHurried();
void StopHurryingConsole();

// True while `pid` is a child of Keldor that has not ended. Such a process is
// the game server whatever the process table shows: between its exec and
// taking its new name it does not look like one.
bool ChildStillRunning(int pid);

// The exit of the game server is watched through a pidfd where the kernel has
// them (an adopted server is no child, so no SIGCHLD tells of it): opened for
// the server being monitored, readable once it has ended.
void WatchServerExit();
int ServerExitDescriptor();  // -1 when nothing is watched
void ForgetServerExit();

}  // namespace keldor
