// The process subsystem's record of the supervised game server, and the
// watch on the exit of a server it adopted.
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/owned.h"
#include "core/state_table.h"
#include "process/server_process.h"
#include "runtime/game_server.h"

namespace keldor {

namespace {
StateTable<ServerWatch> g_table;
ServerWatch& g_watch = *g_table;

struct ExitWatch {
  OwnedFd fd;  // pidfd of `pid`
  int pid = 0;
};

StateTable<ExitWatch> g_exitWatch;

// Asks about `pid` as our child without reaping it (WNOWAIT: an ended child is
// left for the SIGCHLD handler to reap and report). False when it is not ours.
bool PeekAtChild(int pid, siginfo_t& info) {
  info = siginfo_t{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}
}  // namespace

bool ChildStillRunning(int pid) {
  if (pid <= 0) return false;
  siginfo_t info;
  return PeekAtChild(pid, info) && info.si_pid == 0;
}

void WatchServerExit() {
  const int pid = GameServer().pid;
  if (g_exitWatch->fd.get() >= 0 && g_exitWatch->pid == pid) return;
  ForgetServerExit();
  // Children too: SIGCHLD interrupts the loop's wait only when it arrives
  // during that wait; one that arrives while a pass is busy would otherwise
  // leave the exit unseen until the next pass, seconds later.
  if (pid <= 0) return;
#ifdef SYS_pidfd_open
  // Close-on-exec by itself. Without pidfds the crash watch finds the server missing.
  const long fd = syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd < 0) return;
  g_exitWatch->fd = OwnedFd(static_cast<int>(fd));
  g_exitWatch->pid = pid;
#endif
}

int ServerExitDescriptor() {
  const ExitWatch& watch = *g_exitWatch;
  if (!GameServer().monitoring || watch.pid != GameServer().pid) return -1;
  return watch.fd.get();
}

void ForgetServerExit() {
  *g_exitWatch = ExitWatch{};
}

ServerWatch& Watch() {
  return g_watch;
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

}  // namespace keldor
