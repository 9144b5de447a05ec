// What Keldor knows about the game server process it looks after: which process
// it is, whether it is being monitored and the console credentials in use.
#pragma once

#include <csignal>
#include <string>

namespace keldor {

struct GameServerFacts {
  int pid = 0;  // -1 = any, 0 = none known
  bool monitoring = false;
  std::string consoleUser;  // credentials in use; non-empty user = console may be used
  std::string consolePass;
  // PunkBuster runs on the server, as its status replies say ("sv_punkbuster").
  bool punkBusterRunning = false;
  // Set by the SIGCHLD handler when the game server child has been reaped.
  volatile std::sig_atomic_t exited = 0;
  // How the last reaped child ended (the game server's ending wins); -1 when
  // nothing is owed. The main loop logs it, and it doubles as Keldor's exit status.
  volatile std::sig_atomic_t exitStatus = -1;
  // The signal that ended that child, 0 when it exited by itself.
  volatile std::sig_atomic_t exitSignal = 0;
};

GameServerFacts& GameServer();

// PunkBuster runs on the game server, as its status reply said last.
bool PunkBusterEnabled();

// Records how a reaped child ended: its exit code (or signal) as the exit
// status, and the exited flag when it was the game server. Async-signal-safe;
// `firstOfBatch` starts a new run of reaping (one SIGCHLD may stand for several).
void RecordEndedChild(int pid, int status, bool firstOfBatch = false);

}  // namespace keldor
