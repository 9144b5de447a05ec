// Signal handlers and Daemonize.
#include "daemon/signals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "daemon/instance_lock.h"
#include "daemon/main_loop.h"
#include "process/server_process.h"
#include "runtime/game_server.h"
#include "runtime/options.h"

namespace keldor {

namespace {

void OnStopSignal(int signal) {
  Signals().caughtSignal = signal;
  if (signal == SIGTERM) Signals().sawTerm = 1;
  if (signal == SIGINT) Signals().sawInt = 1;
}

StateTable<SignalFacts> g_signals;

// Reaps every child that has ended (signals coalesce, so one SIGCHLD may stand
// for several); the game server's status wins over other children's.
void OnChildSignal(int) {
  const int savedErrno = errno;
  Signals().sawChld = 1;
  for (bool first = true;; first = false) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) break;
    RecordEndedChild(pid, status, first);
  }
  errno = savedErrno;
}

void Install(int signal, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  sigaction(signal, &action, nullptr);
}

}  // namespace

SignalFacts& Signals() {
  return *g_signals;
}

void InstallSignalHandlers() {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGPIPE);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
  Install(SIGCHLD, OnChildSignal, SA_RESTART);
  Install(SIGTERM, OnStopSignal, 0);
  Install(SIGINT, OnStopSignal, 0);
}

void LogCaughtSignals() {
  SignalFacts& facts = Signals();
  if (facts.sawTerm) {
    facts.sawTerm = 0;
    LogDebug("DEBUG: Caught SIGTERM!\n");
  }
  if (facts.sawInt) {
    facts.sawInt = 0;
    LogDebug("DEBUG: Caught SIGINT!\n");
  }
  if (facts.sawChld) {
    facts.sawChld = 0;
    LogDebug("DEBUG: Caught SIGCHLD!\n");
  }
}

void ReserveStandardDescriptors() {
  for (;;) {
    OwnedFd fd(open("/dev/null", O_RDWR));
    if (fd.get() < 0 || fd.get() > 2) return;
    fd.Release();  // 0, 1 or 2 stays taken for good
  }
}

namespace {

// The parent of a successful fork leaves; a failed fork ends Keldor with the
// reason instead of vanishing as if all went well.
void ForkAway() {
  const pid_t child = fork();
  if (child > 0) _exit(0);
  if (child < 0) {
    LogMessage(kLogInfo, "Couldn't daemonize! %s", ErrorText(errno));
    _exit(1);
  }
}

}  // namespace

void Daemonize() {
  ForkAway();
  setsid();
  signal(SIGHUP, SIG_IGN);
  ForkAway();
  if (chdir(Opts().serverDir.c_str()) != 0) {
    // Stay where we are; every path Keldor uses is absolute.
  }
  // Not 0: every file Keldor creates (accounts, settings) would be world-writable.
  umask(022);
  // The installation lock stays held: it is what keeps a second Keldor away.
  // The listening socket, bound before the game server was touched, stays too.
  const int lock = InstallationLockDescriptor();
  const int listener = ListenerDescriptor();
  // The watch on the game server's exit is opened afresh behind the loop: its
  // old number may go to a client's connection.
  ForgetServerExit();
  for (int fd = 0; fd < 1024; ++fd) {
    if (fd != lock && fd != listener) OwnedFd(fd).Reset();  // taken over only to be closed
  }
  // Keep 0, 1 and 2 taken so that no socket can get them: stray writes to 1 or
  // 2 would reach a client.
  ReserveStandardDescriptors();
  // The syslog connection was among the descriptors closed.
  if (Logging().useSyslog) {
    closelog();
    openlog("keldor", LOG_PID, Logging().syslogFacility);
  }
  Logging().quiet = true;
  WatchServerExit();
}

}  // namespace keldor
