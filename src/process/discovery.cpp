// Finding the game server in the process table and stopping it.
#include <libgen.h>
#include <libproc2/pids.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "process/server_process.h"
#include "runtime/events.h"
#include "runtime/game_server.h"
#include "runtime/options.h"

namespace keldor {

namespace {

constexpr std::size_t kCommandNameLength = 10;  // "bfv_linded"
constexpr std::size_t kOverlayArgumentMax = 1023;
constexpr unsigned kQuitWaitSeconds = 3;  // for the server to end after "quit" or SIGTERM

enum Item { kPid, kParentPid, kSession, kCommand, kArguments };
std::array<pids_item, 5> kItems{PIDS_ID_PID, PIDS_ID_PPID, PIDS_ID_SESSION, PIDS_CMD,
                                PIDS_CMDLINE_V};
// What the scan of the whole table reads of every process: its pid and command
// name, both from its stat file. The rest is read for processes of our name only.
enum NameItem { kNamePid, kNameCommand };
std::array<pids_item, 2> kNameItems{PIDS_ID_PID, PIDS_CMD};

// The process table's readers, made on first use and kept for the life of the
// process: making and freeing one costs more than reading a small table.
template <std::size_t N>
pids_info* KeptReader(pids_info*& kept, std::array<pids_item, N>& items) {
  if (kept == nullptr && procps_pids_new(&kept, items.data(), static_cast<int>(N)) < 0) {
    ErrorCode() = errno;
    kept = nullptr;
  }
  return kept;
}
pids_info* g_processReader = nullptr;
pids_info* g_nameReader = nullptr;

struct ProcessEntry {
  int pid;
  int parentPid;
  int session;
  const char* command;
  char** arguments;
};

// The directory the process's executable lies in, or false (with ErrorCode) when
// its link cannot be read.
bool ExecutableDirectory(int pid, std::string& directory, bool quiet) {
  const char* linkName =
      Opts().systemDescription.find("FreeBSD") != std::string::npos ? "file" : "exe";
  const std::string link = "/proc/" + std::to_string(pid) + "/" + linkName;
  char target[4096];
  const ssize_t size = readlink(link.c_str(), target, sizeof target - 1);
  if (size < 0) {
    ErrorCode() = errno;
    // A process that ended while the table was read has no link any more:
    // it is simply no longer there, not a fault worth a line.
    const bool vanished = errno == ENOENT || errno == ESRCH;
    if (errno != EACCES && !vanished && !quiet) {
      LogMessage(kLogInfo, "Couldn't detect server startup path %s! %s", link.c_str(),
                 ErrorText(errno));
    }
    return false;
  }
  target[size] = '\0';
  directory = dirname(target);
  return true;
}

std::string OverlayArgument(char** arguments) {
  for (char** a = arguments; *a != nullptr; ++a) {
    if (std::strcmp(*a, "+overlayPath") == 0) {
      return a[1] == nullptr ? std::string() : CutToWidth(a[1], kOverlayArgumentMax);
    }
  }
  return {};
}

ProcessEntry EntryOf(pids_stack* stack, [[maybe_unused]] pids_info* info) {
  return {PIDS_VAL(kPid, s_int, stack, info), PIDS_VAL(kParentPid, s_int, stack, info),
          PIDS_VAL(kSession, s_int, stack, info), PIDS_VAL(kCommand, str, stack, info),
          PIDS_VAL(kArguments, strv, stack, info)};
}

// Whether `entry` is a game server main process of our installation. A quiet
// check only answers; the scan that follows a failed one tells why.
bool IsOurServer(const ProcessEntry& entry, bool quiet = false) {
  const auto ignored = [&](const char* format) {
    if (!quiet) LogDebug(format, entry.pid);
    return false;
  };
  const Options& s = Opts();
  if (entry.command == nullptr) return false;
  if (std::strncmp(entry.command, "bfv_linded", kCommandNameLength) != 0) return false;
  if (entry.pid != entry.session) return ignored("DEBUG: Ignoring slave server process pid %i");
  std::string directory;
  if (!ExecutableDirectory(entry.pid, directory, quiet)) {
    return ignored("DEBUG: Ignoring server pid %i (due to error)");
  }
  if (directory != s.serverDir) {
    return ignored("DEBUG: Ignoring server pid %i (different startup path)");
  }
  if (entry.arguments == nullptr || entry.arguments[0] == nullptr) {
    if (quiet) return false;
    LogMessage(kLogInfo, "Couldn't determine server command line!");
    return ignored("DEBUG: Ignoring server pid %i (due to error)");
  }
  const std::string overlay = OverlayArgument(entry.arguments);
  if (!s.overlayPath.empty() && overlay != "---" && overlay != s.overlayPath) {
    return ignored("DEBUG: Ignoring server pid %i (different overlay path)");
  }
  return true;
}

// The known pid is asked about alone first: reading that one process costs a
// fraction of reading the whole table, and status reports ask on every request.
// Processes are listed in pid order, so the full scan would have stopped at
// this one too.
bool KnownPidIsOurServer(pids_info* info, int pid) {
  unsigned wanted = static_cast<unsigned>(pid);
  pids_fetch* fetched = procps_pids_select(info, &wanted, 1, PIDS_SELECT_PID);
  if (fetched == nullptr || fetched->counts->total != 1) return false;
  return IsOurServer(EntryOf(fetched->stacks[0], info), true);
}

// Every process named like the game server, in pid order, each read whole and
// weighed by IsOurServer until one is the server asked for: any (*pid -1), the
// child of *pid (*pid becomes its pid) or *pid itself. One read of the table
// for the names (a process-by-process read would ask for the uptime each time,
// and every process's command line would be read too).
bool ScanForServer(pids_info* info, int* pid) {
  pids_info* names = KeptReader(g_nameReader, kNameItems);
  if (names == nullptr) return false;
  bool found = false;
  const pids_fetch* all = procps_pids_reap(names, PIDS_FETCH_TASKS_ONLY);
  const int total = all != nullptr ? all->counts->total : 0;
  for (int i = 0; i < total && !found; ++i) {
    pids_stack* named = all->stacks[i];
    const char* command = PIDS_VAL(kNameCommand, str, named, names);
    if (command == nullptr || std::strncmp(command, "bfv_linded", kCommandNameLength) != 0) {
      continue;
    }
    unsigned wanted = static_cast<unsigned>(PIDS_VAL(kNamePid, s_int, named, names));
    pids_fetch* fetched = procps_pids_select(info, &wanted, 1, PIDS_SELECT_PID);
    if (fetched == nullptr || fetched->counts->total != 1) continue;  // ended meanwhile
    const ProcessEntry entry = EntryOf(fetched->stacks[0], info);
    if (!IsOurServer(entry)) continue;
    if (*pid == -1 || entry.parentPid == *pid) {
      *pid = entry.pid;
      found = true;
    } else {
      found = entry.pid == *pid;
    }
  }
  return found;
}

// Gone from the process table, or a zombie that only waits for its parent.
bool ProcessEnded(int pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  char stat[512] = "";
  const FileHandle f(std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r"));
  if (!f) return true;
  const bool read = std::fgets(stat, sizeof stat, f.get()) != nullptr;
  const char* close = read ? std::strrchr(stat, ')') : nullptr;
  return close != nullptr && close[1] == ' ' && close[2] == 'Z';
}

// Asks the server to end: "quit" over a console that is up (never over one that
// is down), otherwise SIGTERM. Then gives it a few seconds. A server that could
// not be asked is left for the kill at once.
void AskServerToEnd(int pid, bool found) {
  const bool asked = Console().connected ? SendConsoleMessage("quit") != nullptr
                                         : found && kill(pid, SIGTERM) == 0;
  if (!asked) return;
  for (unsigned waited = 0; waited < kQuitWaitSeconds; ++waited) {
    if (found && ProcessEnded(pid)) return;
    SleepSeconds(1);
  }
}

}  // namespace

bool FindServerProcess(int* pid) {
  if (pid == nullptr || *pid == 0) return false;
  pids_info* info = KeptReader(g_processReader, kItems);
  if (info == nullptr) return false;
  const bool found = (*pid > 0 && KnownPidIsOurServer(info, *pid)) || ScanForServer(info, pid);
  if (!found) LogDebug("DEBUG: Couldn't find server process! (%i)\n", *pid);
  return found;
}

bool StopServer() {
  GameServer().monitoring = false;
  ForgetServerExit();
  ForgetStatusPort();
  DetectedServerVersion() = 0.0f;
  Watch().restartLoopCount = 0;

  int pid = GameServer().pid;
  const bool found = FindServerProcess(&pid);
  AskServerToEnd(pid, found);
  if (found && !ProcessEnded(pid)) {
    LogMessage(kLogInfo, "Terminating server with extreme prejudice!\n");
    if (kill(pid, SIGKILL) != 0) {
      ErrorCode() = errno;
      LogMessage(kLogInfo, "Couldn't kill server process! %s", ErrorText(errno));
      return false;
    }
    // Reaping it here takes the exit from the SIGCHLD handler: report it the same way.
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped == pid) RecordEndedChild(pid, status);
  }
  DisconnectConsole();
  LogMessage(kLogInfo, "Server stopped");
  Report(Event::kServerStopped);
  return true;
}

}  // namespace keldor
