// The process subsystem's record of the supervised game server.
#include <sys/wait.h>

#include "core/state_table.h"
#include "process/server_process.h"

namespace keldor {

namespace {
StateTable<ServerWatch> g_table;
ServerWatch& g_watch = *g_table;
}  // namespace

bool ChildStillRunning(int pid) {
  if (pid <= 0) return false;
  siginfo_t info{};
  // WNOWAIT: an ended child is left for the SIGCHLD handler to reap and report.
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

ServerWatch& Watch() {
  return g_watch;
}
void SetCurrentMapOverride(const std::string& combo) {
  g_watch.currentMapOverride = combo;
}
const std::string& CurrentMapOverride() {
  return g_watch.currentMapOverride;
}
void SetIdleMapCombo(const std::string& combo) {
  g_watch.idleMapCombo = combo;
}
const std::string& IdleMapCombo() {
  return g_watch.idleMapCombo;
}
bool GamePaused() {
  return g_watch.paused;
}
void SetGamePaused(bool paused) {
  g_watch.paused = paused;
}
bool PunkBusterEnabled() {
  return g_watch.punkBusterEnabled;
}

}  // namespace keldor
