// The listening socket, the select loop with its two timers, the end of every
// client connection, and shutdown.
#include "daemon/main_loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "alerts/alerts.h"
#include "alerts/metrics.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "daemon/signals.h"
#include "fleet/fleet.h"
#include "gamelink/console.h"
#include "process/server_process.h"
#include "remote/jobs.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "remote/transfer.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr int kSelectTimeout = 3;
constexpr int kMonitorPeriod = 3;
constexpr long long kQuickConnectMilliseconds = 200;
constexpr int kDrainQuietSeconds = 5;
// Connections waiting to be accepted: room for a burst (one address reopening
// idle connections as they are dropped) beside the administrators' own.
constexpr int kListenBacklog = 64;
// A client that keeps talking must not hold the exit up for ever.
constexpr std::time_t kDrainLimitSeconds = 30;

// The loop's own state. The descriptors it watches are the listening socket and
// the sockets of the connections: built afresh for every select, so that
// ending a connection is nothing more than closing it and freeing its place.
struct LoopState {
  OwnedFd listener;
  std::time_t lastMonitor = 0;  // monotonic seconds
  std::time_t lastCrashWatch = 0;
  long long lastQuickConnect = 0;  // monotonic milliseconds
  bool timersStarted = false;
};

StateTable<LoopState> g_loop;

// The crash watch runs on this pass (a game server exit was seen).
void CrashWatchDueNow() {
  g_loop->lastCrashWatch = MonotonicNow() - Row(Setting::MonitorTimerPeriod).current;
}

int FatalSocket(const char* format) {
  const int error = errno;
  LogMessage(kLogInfo, format, ErrorText(error));
  return 1;
}

// The descriptor of a connection while it is served; -1 otherwise.
int ServedSocket(const Connection& c) {
  if (c.state == ConnectionState::kFree || c.ending != SlotEnding::kNo) return -1;
  return c.fd.get();
}

bool InHandshake(const Connection& c) {
  return c.state == ConnectionState::kHandshake;
}

bool WantsRead(const Connection& c) {
  if (InHandshake(c)) return c.handshake.step != LoginStep::kAnswerHeld;
  return OwedBytes(c.io) <= kOutputHighWater && !RequestWaiting(c);
}

struct Watched {
  fd_set read;
  fd_set write;
  int top = 0;
};

// The sockets to watch: for reading the connections that may send (and, unless
// left out, the listening socket while a login can be taken), for writing those
// owed output.
Watched WatchedSets(bool withListener) {
  Watched w;
  FD_ZERO(&w.read);
  FD_ZERO(&w.write);
  auto add = [&](int fd, fd_set& set) {
    if (fd < 0 || fd >= FD_SETSIZE) return;
    FD_SET(fd, &set);
    w.top = std::max(w.top, fd + 1);
  };
  if (withListener) {
    if (LoginRoom()) add(g_loop->listener.get(), w.read);
    add(ServerExitDescriptor(), w.read);
  }
  for (const Connection& c : Connections()) {
    const int fd = ServedSocket(c);
    if (fd < 0) continue;
    if (WantsRead(c)) add(fd, w.read);
    if (OwedBytes(c.io) > 0) add(fd, w.write);
  }
  const FleetWatch fleet = FleetDescriptor();
  if (fleet.read) add(fleet.fd, w.read);
  if (fleet.write) add(fleet.fd, w.write);
  AddAlertSockets(w.read, w.write, w.top);
  return w;
}

// Milliseconds until the next connection deadline, at most `most`; none while
// a complete request waits.
long long UntilNextConnectionTimer(long long most) {
  const long long now = MonotonicMilliseconds();
  long long wait = most;
  for (const Connection& c : Connections()) {
    if (ServedSocket(c) < 0) continue;
    if (!InHandshake(c) && RequestWaiting(c)) return 0;
    const bool held = InHandshake(c) && c.handshake.step == LoginStep::kAnswerHeld;
    const long long timer = held ? c.handshake.answerAt : IoTimer(c.io);
    if (timer != 0) wait = std::min(wait, std::max(0LL, timer - now));
  }
  return wait;
}

void CheckConnectionTimers() {
  const long long now = MonotonicMilliseconds();
  for (Connection& c : Connections()) {
    if (InHandshake(c)) {
      CheckLoginTimer(c, now);
    } else {
      CheckClientTimer(c, now);
    }
  }
  EndGivenUpConnections();
}

void AcceptClient() {
  // Close-on-exec, so that the game server never inherits a client's connection.
  OwnedFd fd(accept4(g_loop->listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (fd.get() < 0) {
    // Out of descriptors or memory, the connection stays queued and the
    // listening socket ready: pause a moment rather than spin.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) SleepSeconds(1);
    return;
  }
  if (fd.get() >= FD_SETSIZE) return;  // select cannot watch it
  // Every message goes out in one write; a reply must not wait for the
  // acknowledgement of the one before it.
  const int on = 1;
  setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (!Authenticate(std::move(fd)) && ErrorCode() != 0) {
    LogMessage(kLogInfo, "Couldn't authenticate client! %s", ErrorText(ErrorCode()));
  }
}

// The connections first, the new connection last: a connection accepted now
// may get the number of one that ended earlier in the pass, and must not be
// taken for that one in the ready sets.
void ServeReady(const Watched& ready) {
  for (Connection& c : Connections()) {
    const int fd = ServedSocket(c);
    if (fd < 0 || fd >= FD_SETSIZE) continue;
    const bool readable = FD_ISSET(fd, &ready.read);
    const bool writable = FD_ISSET(fd, &ready.write);
    if (!readable && !writable && (InHandshake(c) || !RequestWaiting(c))) continue;
    if (InHandshake(c)) {
      if (writable && !FlushOutput(fd, c.io)) c.ending = SlotEnding::kClose;
      ServeLogin(c, readable);
    } else {
      ServeClient(c, readable, writable);
    }
    EndGivenUpConnections();
  }
  const int listener = g_loop->listener.get();
  if (listener >= 0 && FD_ISSET(listener, &ready.read)) AcceptClient();
}

// Notifies the clients, waits for them to close (five quiet seconds) while
// writing what they are owed, stops the game server with -exit and closes
// every socket.
void Shutdown() {
  // Webhook deliveries under way are given up first: nothing serves their
  // sockets during the drain, and an answer arriving there would keep the
  // drain's select awake until its limit.
  StopAlerts();
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
    if (SlotInUse(slot)) NotifyClient(slot, NOTE_DISCONNECT, nullptr, 0);
  }
  for (Connection& c : Connections()) {
    if (InHandshake(c)) EndConnection(c);
  }
  EndGivenUpConnections();

  // The listening socket is left out: a connection waiting there would keep the
  // drain from ever seeing five quiet seconds.
  const std::time_t drainEnd = MonotonicNow() + kDrainLimitSeconds;
  for (Watched w = WatchedSets(false); w.top > 0 && MonotonicNow() < drainEnd;
       w = WatchedSets(false)) {
    timeval timeout{kDrainQuietSeconds, 0};
    if (select(w.top, &w.read, &w.write, nullptr, &timeout) <= 0) break;
    for (Connection& c : Connections()) {
      const int fd = ServedSocket(c);
      if (fd < 0 || fd >= FD_SETSIZE) continue;
      if (FD_ISSET(fd, &w.write) && !FlushOutput(fd, c.io)) EndConnectionSoon(c);
      if (FD_ISSET(fd, &w.read) && !ReadAvailable(fd, c.io)) EndConnectionSoon(c);
      c.io.input.clear();  // nothing more is acted on
    }
    EndGivenUpConnections();
  }
  for (Connection& c : Connections()) EndConnection(c);

  if (Opts().stopServerOnExit) StopServer();
  CloseConsoleAtShutdown();
  StopFleet();
  *g_loop = LoopState{};
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
    ReloadEditedSettings();
    WriteFleetStatus(kMonitorPeriod);
    LoadAlerts();
    WriteMetricsFile();
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

// The exit code line alone reads a SIGKILL as "exit code 9": a signal that
// ended the server is named on a line of its own.
void LogKillingSignal(int signal) {
  if (signal == 0) return;
  const char* name = sigabbrev_np(signal);
  if (name == nullptr) {
    LogMessage(kLogInfo, "Server was killed by signal %i.", signal);
    return;
  }
  LogMessage(kLogInfo, "Server was killed by signal %i (SIG%s).", signal, name);
}

// The fleet's database link, with what select saw of its socket.
void ServeFleetLink(const Watched& ready) {
  const FleetWatch fleet = FleetDescriptor();
  const bool watched = fleet.fd >= 0 && fleet.fd < FD_SETSIZE;
  ServeFleet(watched && FD_ISSET(fleet.fd, &ready.read),
             watched && FD_ISSET(fleet.fd, &ready.write));
}

// One pass; returns kKeepGoing or, when the loop must end, anything else.
int RunPass() {
  SignalFacts& facts = Signals();
  GameServerFacts& server = GameServer();
  Watched ready = WatchedSets(true);
  // Woken for the nearest connection deadline too: it is kept to the moment,
  // whoever else is quiet.
  const long long waitMs = UntilAlertTimer(UntilNextConnectionTimer(
      ConsoleConnectHurried() ? kQuickConnectMilliseconds : kSelectTimeout * 1000LL));
  timeval timeout{static_cast<time_t>(waitMs / 1000),
                  static_cast<suseconds_t>(waitMs % 1000) * 1000};
  const int count = select(ready.top, &ready.read, &ready.write, nullptr, &timeout);
  const int selectError = errno;  // before logging can change it
  LogCaughtSignals();
  // An interrupted wait goes on with the pass: the signal may be the game
  // server's exit, which is acted on now, not at the next pass.
  if (count < 0 && selectError != EINTR) {
    LogMessage(kLogInfo, "Select() returned an error! %s", ErrorText(selectError));
    return 0;
  }
  const int serverExit = ServerExitDescriptor();
  if (count > 0 && serverExit >= 0 && serverExit < FD_SETSIZE &&
      FD_ISSET(serverExit, &ready.read)) {
    // The adopted server has ended: the crash watch looks at once.
    ForgetServerExit();
    CrashWatchDueNow();
  }
  if (server.exitStatus != -1) {
    LogMessage(kLogInfo, "Server terminated with exit code %i.",
               static_cast<int>(server.exitStatus));
    LogKillingSignal(server.exitSignal);
    server.exitSignal = 0;
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
  CheckConnectionTimers();
  if (count <= 0) {
    // Nothing ready (or the wait was interrupted): only requests already read wait.
    FD_ZERO(&ready.read);
    FD_ZERO(&ready.write);
  }
  ServeReady(ready);
  ServeFleetLink(ready);
  ServeAlerts();
  RunDueJobs();
  EndGivenUpConnections();
  return kKeepGoing;
}

}  // namespace

void EndConnection(Connection& c) {
  if (c.state == ConnectionState::kFree) return;
  if (c.ending == SlotEnding::kForget) {
    c.fd.Release();
  } else {
    // What is owed goes out as far as the socket takes it now (a refusal's
    // result byte, a last notification before an administrator's disconnect);
    // no waiting.
    FlushOutput(c.fd.get(), c.io);
  }
  // A login that never got in did not connect, so it does not disconnect.
  if (!InHandshake(c)) LogMessage(kLogInfo, "Client at %s has disconnected.", c.address.c_str());
  c = Connection{};
}

void EndGivenUpConnections() {
  for (Connection& c : Connections()) {
    if (c.state != ConnectionState::kFree && c.ending != SlotEnding::kNo) EndConnection(c);
  }
}

int OpenListener() {
  OwnedFd& owned = g_loop->listener;
  owned = OwnedFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int listener = owned.get();
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
  if (listen(listener, kListenBacklog) != 0)
    return FatalSocket("Couldn't create a connection queue! %s");
  return kKeepGoing;
}

int ListenerDescriptor() {
  return g_loop->listener.get();
}

int RunMainLoop() {
  // Bound since before the game server was touched; said once start-up is
  // over, so that the line still marks its end.
  LogMessage(kLogInfo, "Listening on %s:%i.",
             FormatIPv4(static_cast<std::uint32_t>(Row(Setting::ServerIP).current)),
             static_cast<int>(Opts().listenPort));
  while (RunPass() == kKeepGoing) {
  }
  // Taken before shutdown: stopping the game server with -exit reaps it, and
  // its own exit code must not stand in for the reason Keldor ends.
  const int status = GameServer().exitStatus;
  Shutdown();
  return status;
}

}  // namespace keldor
