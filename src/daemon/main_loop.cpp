// The listening socket, the select loop with its two timers, the end of every
// client connection, and shutdown.
#include "daemon/main_loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"
#include "daemon/signals.h"
#include "gamelink/console.h"
#include "process/server_process.h"
#include "remote/jobs.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr int kKeepGoing = -1;
constexpr int kSelectTimeout = 3;
constexpr int kMonitorPeriod = 3;
constexpr long long kQuickConnectMilliseconds = 200;
constexpr int kDrainQuietSeconds = 5;
// A client that keeps talking must not hold the exit up for ever.
constexpr std::time_t kDrainLimitSeconds = 30;

// The loop's own state. The descriptors it watches are the listening socket and
// the sockets of the client slots in use: built afresh for every select, so that
// ending a connection is nothing more than closing it and freeing its slot.
struct LoopState {
  int listenSocket = -1;
  std::time_t lastMonitor = 0;  // monotonic seconds
  std::time_t lastCrashWatch = 0;
  long long lastQuickConnect = 0;  // monotonic milliseconds
  bool timersStarted = false;
};

void CloseListener(LoopState& loop) {
  if (loop.listenSocket >= 0) close(loop.listenSocket);
  loop = LoopState{};
}

StateTable<LoopState> g_loop(CloseListener);

// The crash watch runs on this pass (a game server exit was seen).
void CrashWatchDueNow() {
  g_loop->lastCrashWatch = MonotonicNow() - Row(Setting::MonitorTimerPeriod).current;
}

int FatalSocket(const char* format) {
  const int error = errno;
  LogMessage(kLogInfo, format, ErrorText(error));
  return 1;
}

int PendingBytes(int fd) {
  int pending = 0;
  if (ioctl(fd, FIONREAD, &pending) != 0) return -1;
  return pending;
}

// The client sockets to watch (and, unless left out, the listening socket);
// returns the highest descriptor plus one.
int WatchedSet(fd_set& set, bool withListener) {
  FD_ZERO(&set);
  int top = 0;
  auto add = [&](int fd) {
    if (fd < 0 || fd >= FD_SETSIZE) return;
    FD_SET(fd, &set);
    top = std::max(top, fd + 1);
  };
  if (withListener) {
    add(g_loop->listenSocket);
    add(ServerExitDescriptor());
  }
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) add(SlotSocket(slot));
  return top;
}

void AcceptClient() {
  // Close-on-exec, so that the game server never inherits a client's connection.
  const int fd = accept4(g_loop->listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    // Out of descriptors or memory, the connection stays queued and the
    // listening socket ready: pause a moment rather than spin.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) SleepSeconds(1);
    return;
  }
  if (fd >= FD_SETSIZE) {  // select cannot watch it
    close(fd);
    return;
  }
  // Every message goes out in one write; a reply must not wait for the
  // acknowledgement of the one before it.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ErrorCode() = 0;
  if (Authenticate(fd)) return;
  close(fd);
  if (ErrorCode() != 0) {
    LogMessage(kLogInfo, "Couldn't authenticate client! %s", ErrorText(ErrorCode()));
  }
}

// The clients first, the new connection last: a connection accepted now may get
// the number of one that ended earlier in the pass, and must not be taken for
// that one in `ready`.
void ServeReady(const fd_set& ready) {
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
    const int fd = SlotSocket(slot);
    if (fd < 0 || fd >= FD_SETSIZE || !FD_ISSET(fd, &ready)) continue;
    if (PendingBytes(fd) <= 0) {
      EndConnection(slot);  // the client has closed the connection
    } else {
      HandleRequest(slot);
    }
    EndGivenUpConnections();
  }
  if (g_loop->listenSocket >= 0 && FD_ISSET(g_loop->listenSocket, &ready)) AcceptClient();
}

// Notifies the clients, waits for them to close (five quiet seconds), stops the
// game server with -exit and closes every socket.
void Shutdown() {
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
    if (SlotInUse(slot)) NotifyClient(slot, NOTE_DISCONNECT, nullptr, 0);
  }
  EndGivenUpConnections();

  // The listening socket is left out: a connection waiting there would keep the
  // drain from ever seeing five quiet seconds.
  const std::time_t drainEnd = MonotonicNow() + kDrainLimitSeconds;
  fd_set ready;
  for (int top = WatchedSet(ready, false); top > 0 && MonotonicNow() < drainEnd;
       top = WatchedSet(ready, false)) {
    timeval timeout{kDrainQuietSeconds, 0};
    if (select(top, &ready, nullptr, nullptr, &timeout) <= 0) break;
    for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
      const int fd = SlotSocket(slot);
      if (fd < 0 || !FD_ISSET(fd, &ready)) continue;
      if (PendingBytes(fd) <= 0) {
        EndConnection(slot);
        continue;
      }
      char discard[1024];
      while (PendingBytes(fd) > 0) {
        if (recv(fd, discard, sizeof discard, 0) <= 0) break;
      }
    }
  }
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
    if (ClientSlots()[slot].socket != 0) EndConnection(slot);
  }

  if (Opts().stopServerOnExit) StopServer();
  CloseConsoleAtShutdown();
  CloseListener(*g_loop);
  LogMessage(kLogInfo, "Exited");
}

// Runs the monitor and the crash watch when their periods have passed. The
// periods are measured on the monotonic clock: a step of the system clock must
// neither stall them nor run them in a burst.
void RunTimers() {
  LoopState& loop = *g_loop;
  const std::time_t now = MonotonicNow();
  if (!loop.timersStarted) {
    // Both are due on the first pass.
    loop.lastMonitor = now - kMonitorPeriod;
    CrashWatchDueNow();
    loop.timersStarted = true;
  }
  if (now >= loop.lastMonitor + kMonitorPeriod) {
    MonitorServer();
    loop.lastMonitor = now;
  }
  if (now >= loop.lastCrashWatch + Row(Setting::MonitorTimerPeriod).current) {
    CrashWatch();
    loop.lastCrashWatch = now;
  }
  const long long ms = MonotonicMilliseconds();
  if (ConsoleConnectHurried() && ms >= loop.lastQuickConnect + kQuickConnectMilliseconds) {
    QueueJobOnce(JOB_CONSOLE_POLL, nullptr, 0, 0);
    loop.lastQuickConnect = ms;
  }
}

// One pass; returns kKeepGoing or, when the loop must end, anything else.
int RunPass() {
  SignalFacts& facts = Signals();
  GameServerFacts& server = GameServer();
  fd_set ready;
  const int top = WatchedSet(ready, true);
  timeval timeout{kSelectTimeout, 0};
  if (ConsoleConnectHurried()) timeout = {0, kQuickConnectMilliseconds * 1000};
  const int count = select(top, &ready, nullptr, nullptr, &timeout);
  const int selectError = errno;  // before logging can change it
  LogCaughtSignals();
  // An interrupted wait goes on with the pass: the signal may be the game
  // server's exit, which is acted on now, not at the next pass.
  if (count < 0 && selectError != EINTR) {
    LogMessage(kLogInfo, "Select() returned an error! %s", ErrorText(selectError));
    return 0;
  }
  const int serverExit = ServerExitDescriptor();
  if (count > 0 && serverExit >= 0 && serverExit < FD_SETSIZE && FD_ISSET(serverExit, &ready)) {
    // The adopted server has ended: the crash watch looks at once.
    ForgetServerExit();
    CrashWatchDueNow();
  }
  if (server.exitStatus != -1) {
    LogMessage(kLogInfo, "Server terminated with exit code %i.",
               static_cast<int>(server.exitStatus));
    CrashWatchDueNow();
    server.exitStatus = -1;
    if (Opts().quitWithServer) {
      LogMessage(kLogInfo, "Exiting due to -quit.");
      return 0;
    }
  }
  if (facts.caughtSignal != 0) {
    LogMessage(kLogInfo, "Exiting due to signal (%i).", static_cast<int>(facts.caughtSignal));
    server.exitStatus = facts.caughtSignal;
    return 0;
  }
  RunTimers();
  RunDueJobs();
  EndGivenUpConnections();
  if (count <= 0) return kKeepGoing;
  ServeReady(ready);
  RunDueJobs();
  EndGivenUpConnections();
  return kKeepGoing;
}

}  // namespace

void EndConnection(int slot) {
  if (slot < kFirstClientSlot || slot > kLastClientSlot) return;
  ClientSlot& client = ClientSlots()[slot];
  if (client.socket == 0) return;
  if (client.ending != SlotEnding::kForget) close(client.socket);
  ReleaseSlot(slot);
}

void EndGivenUpConnections() {
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
    if (ClientSlots()[slot].ending != SlotEnding::kNo) EndConnection(slot);
  }
}

int OpenListener() {
  int& listener = g_loop->listenSocket;
  listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return FatalSocket("Couldn't create a server socket! %s");
  int on = 1;
  if (ioctl(listener, FIONBIO, &on) != 0) {
    return FatalSocket("Couldn't change server socket mode to non-blocking! %s");
  }
  // Always: a restart right after clients were connected would otherwise find
  // the port held by connections in TIME-WAIT for a minute. It never lets a
  // second socket listen on the same address and port.
  if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return FatalSocket("Couldn't set socket reuse-address option! %s");
  }
  linger off{0, 0};
  if (setsockopt(listener, SOL_SOCKET, SO_LINGER, &off, sizeof off) != 0) {
    return FatalSocket("Couldn't set socket linger option! %s");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Opts().listenPort);
  address.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(Row(Setting::ServerIP).current));
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    LogMessage(kLogInfo, "Couldn't bind server socket to %s:%i! %s",
               FormatIPv4(static_cast<std::uint32_t>(Row(Setting::ServerIP).current)),
               static_cast<int>(Opts().listenPort), ErrorText(error));
    return 1;
  }
  if (listen(listener, 5) != 0) return FatalSocket("Couldn't create a connection queue! %s");
  LogMessage(kLogInfo, "Listening on %s:%i.",
             FormatIPv4(static_cast<std::uint32_t>(Row(Setting::ServerIP).current)),
             static_cast<int>(Opts().listenPort));
  return kKeepGoing;
}

int RunMainLoop() {
  while (RunPass() == kKeepGoing) {
  }
  // Taken before shutdown: stopping the game server with -exit reaps it, and
  // its own exit code must not stand in for the reason Keldor ends.
  const int status = GameServer().exitStatus;
  Shutdown();
  return status;
}

}  // namespace keldor
