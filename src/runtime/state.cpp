// The tables every subsystem reads: the options and the game server facts.
#include <sys/wait.h>

#include "core/state_table.h"
#include "runtime/game_server.h"
#include "runtime/options.h"

namespace keldor {

namespace {
StateTable<Options> g_options;
StateTable<GameServerFacts> g_gameServer;
}  // namespace

Options& Opts() {
  return *g_options;
}

GameServerFacts& GameServer() {
  return *g_gameServer;
}

bool PunkBusterEnabled() {
  return g_gameServer->punkBusterRunning;
}

namespace {
volatile std::sig_atomic_t g_sawServer = 0;  // within one run of reaping

int StatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  if (WIFSTOPPED(status)) return WSTOPSIG(status);
  return 0;
}
}  // namespace

void RecordEndedChild(int pid, int status, bool firstOfBatch) {
  if (firstOfBatch) g_sawServer = 0;
  GameServerFacts& facts = *g_gameServer;
  const bool isServer = pid == facts.pid;
  if (isServer || g_sawServer == 0) {
    facts.exitStatus = StatusOf(status);
    facts.exitSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  if (isServer) {
    g_sawServer = 1;
    facts.exited = 1;
  }
}

}  // namespace keldor
