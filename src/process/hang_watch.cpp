// The hang watch (-hang): a game server whose process lives while neither its
// console nor its status query answers for a number of monitor passes is
// reported, and with -restart killed so that the crash watch restarts it.
//
// The count starts only once the server has answered since its launch: a map
// that takes long to load, or a server Keldor cannot reach at all (no console,
// a status port it never found), is never taken for a hung one.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "core/clock.h"
#include "core/error.h"
#include "core/log.h"
#include "core/state_table.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "process/server_process.h"
#include "runtime/alerting.h"
#include "runtime/events.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

struct HangState {
  int pid = 0;  // the server the rest is about; another one starts afresh
  // The last receive over the console and the last status answer already
  // taken into account (monotonic milliseconds): a pass hears what is newer.
  long long consoleSeen = 0;
  long long statusSeen = 0;
  long long lastHeardAt = 0;  // ... of the last answer heard
  long long probeSentAt = 0;  // ... of the probe in flight
  int statusPort = 0;         // the last one known: a dropped console link forgets it
  int silentPasses = 0;
  bool heardSinceLaunch = false;
  bool reported = false;  // this hang was logged, announced and raised
  bool killed = false;    // ... and its process killed: the crash watch takes over
};

StateTable<HangState> g_hang;

// Supervised, not ended, and its process the one in the process table.
bool WatchedServerRuns() {
  const GameServerFacts& server = GameServer();
  if (!server.monitoring || server.exited || server.pid <= 0) return false;
  int pid = server.pid;
  return FindServerProcess(&pid) && pid == server.pid;
}

void Forget() {
  ForgetStatusProbe();
  *g_hang = HangState{};
}

// The port a probe goes to: the one found at the console's login, else the
// configured one.
int ProbePort(HangState& hang) {
  if (StatusPort() != 0) hang.statusPort = StatusPort();
  if (hang.statusPort != 0) return hang.statusPort;
  return Row(Setting::ServerInternet).current != 0 ? Row(Setting::GameSpyPort).current
                                                   : Row(Setting::GameSpyLANPort).current;
}

// Whether the game said anything new since the last pass: over the console,
// to a status query of the monitor pass or to the probe of the pass before.
// Each source's last time is compared with the one the last pass took in, not
// with the time of that pass: the monitor's status query is answered within
// the very millisecond of the pass that takes it in, and would count twice.
// The probe's reply is read whatever the others say, so that the probe ends.
bool HeardSinceLastPass(HangState& hang) {
  const bool probe = StatusProbeAnswered();
  const long long console = Console().lastReceivedAt;
  const long long status = StatusQueries().lastAnswerAt;
  const bool heard = probe || console > hang.consoleSeen || status > hang.statusSeen;
  hang.consoleSeen = std::max(hang.consoleSeen, console);
  hang.statusSeen = std::max(hang.statusSeen, status);
  // A probe's reply follows its request within moments.
  if (heard) hang.lastHeardAt = std::max({probe ? hang.probeSentAt : 0, console, status});
  return heard;
}

// SIGKILL to the supervised pid alone (a stopped process dies of it too). Its
// end reaches the crash watch as any crash does, through SIGCHLD or the pidfd,
// and the restart is counted by the same restart-loop rule.
void KillHungServer(HangState& hang) {
  LogMessage(kLogInfo, "Killing the hung server (pid %i) to restart it.", hang.pid);
  if (kill(hang.pid, SIGKILL) != 0) {
    ErrorCode() = errno;
    LogMessage(kLogInfo, "Couldn't kill the hung server! %s", ErrorText(ErrorCode()));
    return;
  }
  Watch().hangKilledAt = MonotonicNow();
  hang.killed = true;
}

void ReportHang(HangState& hang, long long now) {
  const int seconds = static_cast<int>((now - hang.lastHeardAt + 500) / 1000);
  LogMessage(kLogInfo,
             "Server is not responding (no answer from its console or status query for %i "
             "seconds).",
             seconds);
  hang.reported = true;
  Report(Event::kServerHung);
  RaiseAlert({AlertKind::kHung,
              "Server is not responding: no answer from its console or status query for " +
                  std::to_string(seconds) + " seconds." +
                  (Opts().autoRestart ? " It is killed and started again." : ""),
              {{"pid", std::to_string(hang.pid)}, {"seconds", std::to_string(seconds)}}});
  if (Opts().autoRestart) KillHungServer(hang);
}

}  // namespace

void WatchForHang() {
  if (Opts().hangPasses <= 0) return;
  if (!WatchedServerRuns()) {
    Forget();
    return;
  }
  HangState& hang = *g_hang;
  const long long now = MonotonicMilliseconds();
  if (hang.pid != GameServer().pid) {
    Forget();
    hang.pid = GameServer().pid;
    // What it said since its launch counts (all it said for a server found running).
    hang.consoleSeen = hang.statusSeen = static_cast<long long>(Watch().launchTime) * 1000 - 1;
  }
  if (hang.killed) return;  // its end is on its way to the crash watch
  if (HeardSinceLastPass(hang)) {
    hang.heardSinceLaunch = true;
    hang.silentPasses = 0;
    if (hang.reported) LogMessage(kLogInfo, "Server is responding again.");
    hang.reported = false;
  } else if (hang.heardSinceLaunch && !hang.reported && ++hang.silentPasses >= Opts().hangPasses) {
    ReportHang(hang, now);
  }
  // The monitor pass queries the status itself while the console is up; else
  // a probe is sent now and its reply looked for on the next pass.
  if (!hang.killed && !Console().connected && SendStatusProbe(ProbePort(hang))) {
    hang.probeSentAt = now;
  }
}

}  // namespace keldor
