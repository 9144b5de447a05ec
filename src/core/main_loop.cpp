// The listening socket, the select loop with its two timers, and shutdown.
#include "core/main_loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "core/clock.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/process_control.h"
#include "core/state.h"
#include "gamelink/console.h"
#include "process/server_process.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr int kKeepGoing = -1;
constexpr int kSelectLimit = 1024;
constexpr int kSelectTimeout = 3;
constexpr int kMonitorPeriod = 3;
constexpr int kDrainQuietSeconds = 5;
// A client that keeps talking must not hold the exit up for ever.
constexpr std::time_t kDrainLimitSeconds = 30;

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

bool HasClients(const fd_set& set) {
  for (int fd = 0; fd < kSelectLimit; ++fd) {
    if (FD_ISSET(fd, &set)) return true;
  }
  return false;
}

void CloseClient(int fd, fd_set& set) {
  ReleaseSlot(FindSlotBySocket(fd));
  close(fd);
  FD_CLR(fd, &set);
}

void AcceptClient() {
  ManagerState& s = State();
  // Close-on-exec, so that the game server never inherits a client's connection.
  const int fd = accept4(s.listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    // Out of descriptors or memory, the connection stays queued and the
    // listening socket ready: pause a moment rather than spin.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) SleepSeconds(1);
    return;
  }
  if (fd >= kSelectLimit) {  // select cannot watch it
    close(fd);
    return;
  }
  s.errorCode = 0;
  if (Authenticate(fd)) {
    FD_SET(fd, &s.masterSet);
    return;
  }
  close(fd);
  if (s.errorCode != 0)
    LogMessage(kLogInfo, "Couldn't authenticate client! %s", ErrorText(s.errorCode));
}

void ServeReady(const fd_set& ready) {
  ManagerState& s = State();
  for (int fd = 0; fd < kSelectLimit; ++fd) {
    if (!FD_ISSET(fd, &ready)) continue;
    if (fd == s.listenSocket) {
      AcceptClient();
    } else if (FD_ISSET(fd, &s.masterSet)) {
      const int slot = FindSlotBySocket(fd);
      // A socket whose slot is gone would stay readable for ever: close it too.
      if (PendingBytes(fd) <= 0 || slot < 1) {
        CloseClient(fd, s.masterSet);
      } else {
        HandleRequest(slot);
      }
    }
  }
}

// Notifies the clients, waits for them to close (five quiet seconds), stops the
// game server with -exit and closes every socket.
void Shutdown() {
  ManagerState& s = State();
  for (int slot = 1; slot < kClientSlots; ++slot) {
    if (SlotInUse(slot)) NotifyClient(slot, NOTE_DISCONNECT, nullptr, 0);
  }

  // The listening socket is left out: a connection waiting there would keep the
  // drain from ever seeing five quiet seconds.
  if (s.listenSocket >= 0) FD_CLR(s.listenSocket, &s.masterSet);
  const std::time_t drainEnd = Now() + kDrainLimitSeconds;
  while (HasClients(s.masterSet) && Now() < drainEnd) {
    fd_set ready = s.masterSet;
    timeval timeout{kDrainQuietSeconds, 0};
    if (select(kSelectLimit, &ready, nullptr, nullptr, &timeout) <= 0) break;
    for (int fd = 0; fd < kSelectLimit; ++fd) {
      if (!FD_ISSET(fd, &ready)) continue;
      if (PendingBytes(fd) <= 0) {
        CloseClient(fd, s.masterSet);
        continue;
      }
      char discard[1024];
      while (PendingBytes(fd) > 0) {
        if (recv(fd, discard, sizeof discard, 0) <= 0) break;
      }
    }
  }

  if (s.stopServerOnExit) StopServer();
  CloseConsoleAtShutdown();
  if (s.listenSocket >= 0) close(s.listenSocket);
  s.listenSocket = -1;
  LogMessage(kLogInfo, "Exited");
}

// One pass; returns kKeepGoing or, when the loop must end, anything else.
int RunPass(std::time_t& lastMonitor, std::time_t& lastCrashWatch) {
  ManagerState& s = State();
  SignalFacts& facts = Signals();
  fd_set ready = s.masterSet;
  timeval timeout{kSelectTimeout, 0};
  const int count = select(kSelectLimit, &ready, nullptr, nullptr, &timeout);
  const int selectError = errno;  // before logging can change it
  LogCaughtSignals();
  if (count < 0) {
    if (selectError == EINTR) return kKeepGoing;
    LogMessage(kLogInfo, "Select() returned an error! %s", ErrorText(selectError));
    return 0;
  }
  if (facts.serverExitStatus != -1) {
    LogMessage(kLogInfo, "Server terminated with exit code %i.",
               static_cast<int>(facts.serverExitStatus));
    lastCrashWatch = 0;
    facts.serverExitStatus = -1;
    if (s.quitWithServer) {
      LogMessage(kLogInfo, "Exiting due to -quit.");
      return 0;
    }
  }
  if (facts.caughtSignal != 0) {
    LogMessage(kLogInfo, "Exiting due to signal (%i).", static_cast<int>(facts.caughtSignal));
    facts.serverExitStatus = facts.caughtSignal;
    return 0;
  }
  const std::time_t now = Now();
  if (now >= lastMonitor + kMonitorPeriod) {
    MonitorServer();
    lastMonitor = now;
  }
  if (now >= lastCrashWatch + Row(Setting::MonitorTimerPeriod).current) {
    CrashWatch();
    lastCrashWatch = now;
  }
  RunDueJobs();
  if (count == 0) return kKeepGoing;
  ServeReady(ready);
  RunDueJobs();
  return kKeepGoing;
}

}  // namespace

int OpenListener() {
  ManagerState& s = State();
  s.listenSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s.listenSocket < 0) return FatalSocket("Couldn't create a server socket! %s");
  int on = 1;
  if (ioctl(s.listenSocket, FIONBIO, &on) != 0) {
    return FatalSocket("Couldn't change server socket mode to non-blocking! %s");
  }
  if (s.reuseAddress && setsockopt(s.listenSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return FatalSocket("Couldn't set socket reuse-address option! %s");
  }
  linger off{0, 0};
  if (setsockopt(s.listenSocket, SOL_SOCKET, SO_LINGER, &off, sizeof off) != 0) {
    return FatalSocket("Couldn't set socket linger option! %s");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(s.listenPort);
  address.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(Row(Setting::ServerIP).current));
  if (bind(s.listenSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return FatalSocket("Couldn't bind server socket! %s");
  }
  if (listen(s.listenSocket, 5) != 0) return FatalSocket("Couldn't create a connection queue! %s");
  LogMessage(kLogInfo, "Listening on %s:%i.",
             FormatIPv4(static_cast<std::uint32_t>(Row(Setting::ServerIP).current)),
             static_cast<int>(s.listenPort));
  FD_ZERO(&s.masterSet);
  FD_SET(s.listenSocket, &s.masterSet);
  return kKeepGoing;
}

int RunMainLoop() {
  std::time_t lastMonitor = 0;
  std::time_t lastCrashWatch = 0;
  while (RunPass(lastMonitor, lastCrashWatch) == kKeepGoing) {
  }
  // Taken before shutdown: stopping the game server with -exit reaps it, and
  // its own exit code must not stand in for the reason Keldor ends.
  const int status = Signals().serverExitStatus;
  Shutdown();
  return status;
}

}  // namespace keldor
