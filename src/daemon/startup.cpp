// The start-up sequence: directories, installation checks, configuration files,
// loading every table, finding or starting the game server, detaching.
#include "daemon/startup.h"

#include <fcntl.h>
#include <lzo/lzoconf.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "alerts/alerts.h"
#include "alerts/metrics.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "daemon/cmdline.h"
#include "daemon/instance_lock.h"
#include "daemon/main_loop.h"
#include "daemon/signals.h"
#include "fleet/fleet.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "maps/archive.h"
#include "maps/discovery.h"
#include "policing/banned_words.h"
#include "policing/chat.h"
#include "policing/player_menu.h"
#include "process/server_process.h"
#include "remote/accounts.h"
#include "remote/dispatch.h"
#include "remote/jobs.h"
#include "remote/rollback.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "runtime/alerting.h"
#include "runtime/events.h"
#include "runtime/game_server.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"
#include "schedule/scheduler.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr const char* kEvolutionEntry = "BfVietnam/game/GameModeSettings/DefaultEvolution.wst";

int Fatal(const char* message) {
  LogMessage(kLogInfo, "%s", message);
  return 1;
}

std::string SettingsFile(const char* name) {
  return Opts().settingsDir + "/" + name;
}

std::string EvolutionFile() {
  return Opts().serverDir + kModFolder + "/save/gamemodesettings/evolution.wst";
}

int DescribeSystem() {
  struct utsname names;
  if (uname(&names) != 0) {
    LogMessage(kLogInfo, "Couldn't determine system version! %s", ErrorText(errno));
    return 1;
  }
  Opts().systemDescription = std::string(names.sysname) + " " + names.nodename + " " +
                             names.release + " " + names.version + " " + names.machine;
  LogMessage(kLogInfo, "%s", kVersionText);
  LogMessage(kLogInfo, "Started under %s", Opts().systemDescription.c_str());
  return kKeepGoing;
}

int LogDirectories() {
  const Options& s = Opts();
  LogDebug("DEBUG: Server      = %s\n", s.serverDir.c_str());
  LogDebug("DEBUG: Overlay     = %s\n", s.overlayPath.c_str());
  LogDebug("DEBUG: Settings    = %s\n", s.settingsDir.c_str());
  LogDebug("DEBUG: ServerArgs  = %s\n", s.serverArgs.c_str());
  LogDebug("DEBUG: ServerCmds  = %s\n", s.serverCmds.c_str());
  tzset();
  LogDebug("DEBUG: Timezone    = %s %li (DST = %i)", tzname[0], -timezone / 3600, daylight);
  return kKeepGoing;
}

int CheckInstallation() {
  const Options& s = Opts();
  if (!FileExists(s.serverDir + "/" + kServerBinary)) {
    LogMessage(kLogInfo,
               "Couldn't find server binary in %s! Use -path to specify server directory and/or "
               "verify %s link exists.",
               s.serverDir.c_str(), kServerBinary);
    return 1;
  }
  if (!s.overlayPath.empty()) {
    if (mkdir(s.overlayPath.c_str(), 0755) != 0 && errno != EEXIST) {
      LogMessage(kLogInfo, "Couldn't create overlayPath directory! %s", ErrorText(errno));
      return 1;
    }
    if (mkdir((s.overlayPath + "settings").c_str(), 0755) != 0 && errno != EEXIST) {
      LogMessage(kLogInfo, "Couldn't create overlayPath Settings directory! %s", ErrorText(errno));
      return 1;
    }
    // A new overlay had no directory for its logs when the command line was read.
    mkdir((s.overlayPath + "logs").c_str(), 0755);
  }
  if (FileExists(s.serverDir + "/pb/pbsv.so")) {
    Opts().punkBusterInstalled = true;
  } else {
    LogMessage(kLogInfo,
               "WARNING: PunkBuster is not installed on this server. All PunkBuster commands in "
               "Keldor will have no effect until PunkBuster is installed.");
  }
  return kKeepGoing;
}

// One Keldor per installation: a second one would adopt the same game server
// and overwrite the first one's files.
int LockInstallationStep() {
  int holder = 0;
  const std::string path = SettingsFile("keldor.lock");
  if (LockInstallation(path, &holder)) return kKeepGoing;
  if (ErrorCode() == EWOULDBLOCK) {
    LogMessage(kLogInfo,
               "Couldn't lock %s! Another Keldor (pid %i) is running on this installation.",
               path.c_str(), holder);
    std::fprintf(stderr,
                 "Couldn't lock %s! Another Keldor (pid %i) is running on this installation.\n",
                 path.c_str(), holder);
  } else {
    LogMessage(kLogInfo, "Couldn't lock %s! %s", path.c_str(), ErrorText(ErrorCode()));
    std::fprintf(stderr, "Couldn't lock %s! %s\n", path.c_str(), ErrorText(ErrorCode()));
  }
  return 1;
}

// Opened for appending only to learn whether we may write it: the game's files
// are rewritten before each launch, and a game server started by other means
// must still find its configuration.
bool CheckWritable(const std::string& path) {
  const OwnedFd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  return fd.get() >= 0 || Fail(errno);
}

// The settings files that hold passwords: reversible ones for the accounts,
// the game console's, the join and the reserved-slot passwords in the others.
constexpr std::array<const char*, 4> kPasswordFiles{"useraccess.con", "servermanager.con",
                                                    "serverautoexec.con", "serversettings.con"};

bool HoldsPasswords(const std::string& name) {
  return std::find(kPasswordFiles.begin(), kPasswordFiles.end(), name) != kPasswordFiles.end();
}

// Files left readable to others by an earlier version or by hand are narrowed
// before anything else reads or rewrites them.
int ProtectSecretFiles() {
  mode_t narrowed = 0;
  for (const char* name : kPasswordFiles) {
    const std::string path = SettingsFile(name);
    if (NarrowFileMode(path, kSecretFileMode, &narrowed)) {
      LogMessage(kLogInfo, "Tightened the mode of %s to %04o: it holds passwords.", path.c_str(),
                 static_cast<unsigned>(narrowed));
    }
  }
  std::vector<std::string> logs = RotatedLogFiles();
  logs.push_back(LogFilePath());
  for (const std::string& path : logs) {
    if (NarrowFileMode(path, kSecretFileMode, &narrowed)) {
      LogMessage(kLogInfo, "Tightened the mode of %s to %04o: it may hold passwords.", path.c_str(),
                 static_cast<unsigned>(narrowed));
    }
  }
  return kKeepGoing;
}

int PrepareFiles() {
  const Options& s = Opts();
  for (const char* name :
       {"servermanager.con", "servermaplist.con", "serversettings.con", "serverautoexec.con",
        "banlist.con", "serverbanlist.con", "useraccess.con", "serverschedule.con",
        "announcements.con", "bannedwords.con", "maps.con", "mods.con"}) {
    EnsureFile(SettingsFile(name), EnsureMode::kCreateIfMissing,
               HoldsPasswords(name) ? kSecretFileMode : 0666);
  }
  EnsureFile(s.serverDir + "/pb/pbbans.dat", EnsureMode::kCreateIfMissing);
  EnsureFile(EvolutionFile(), EnsureMode::kCreateIfMissing);

  const std::string menu = SettingsFile("playermenu.con");
  if (!FileExists(menu)) {
    if (const FileHandle f{std::fopen(menu.c_str(), "wb")}) std::fputs(kDefaultPlayerMenu, f.get());
  }

  if (!CheckWritable(SettingsFile("serversettings.con"))) {
    LogMessage(kLogInfo,
               "Couldn't open ServerSettings.con file for writing!\n%s\nKeldor must have write "
               "access to this file, check file permissions and attributes.",
               ErrorText(ErrorCode()));
    return 1;
  }
  if (!CheckWritable(SettingsFile("serverautoexec.con"))) {
    LogMessage(kLogInfo,
               "Couldn't open ServerAutoexec.con file for writing!\n%s\n\nKeldor must have write "
               "access to this file, check file permissions and attributes.",
               ErrorText(ErrorCode()));
    return 1;
  }
  if (!FileExists(s.serverDir + kModFolder + "/init.con")) {
    return Fatal("Couldn't detect a valid BFVietnam mod folder!");
  }
  char stray[256];
  std::snprintf(stray, sizeof stray, "%s/Battlefield Vietnam%s%s%s", "/tmp", kModFolder,
                "/settings", "/maplist.con");
  if (FileExists(stray)) {
    LogMessage(kLogInfo, "WARNING: \"Battlefield 1942\" folder exists in /tmp directory!");
  }
  std::remove(SettingsFile("kicklist.con").c_str());
  return kKeepGoing;
}

int LoadGameData() {
  const Options& s = Opts();
  ResetSettings();
  const std::string archive = s.serverDir + kModFolder + "/archives/bfvietnam" + "/game.rfa";
  if (!ExtractArchiveEntry(archive, kEvolutionEntry, EvolutionFile())) {
    return Fatal(
        "Couldn't extract evolution map info! Verify Keldor can write to "
        "mods/bfvietnam/save/gamemodesettings/evolution.wst.");
  }
  if (!WriteModsFile(SettingsFile("mods.con"))) return Fatal("Couldn't determine available mods!");
  if (!WriteMapsFile(SettingsFile("maps.con"))) return Fatal("Couldn't determine available maps!");
  return kKeepGoing;
}

// The @game.gameSpyPort and @game.gameSpyLANPort values describe the ports the
// game will really use, so they stand over the loaded file (not saved into it).
void ApplyPortOverrides() {
  const Options& s = Opts();
  if (s.gameSpyPortOverride >= 0) {
    Row(Setting::GameSpyPort).current = static_cast<std::int32_t>(s.gameSpyPortOverride);
  }
  if (s.gameSpyLanPortOverride >= 0) {
    Row(Setting::GameSpyLANPort).current = static_cast<std::int32_t>(s.gameSpyLanPortOverride);
  }
}

int LoadSettings() {
  Options& s = Opts();
  const std::string file = SettingsFile("servermanager.con");
  SettingsSnapshot() = SettingsRows{};
  ErrorCode() = 0;
  if (!ApplySettingsFile(file, -1)) {
    if (ErrorCode() != ENOENT) {
      LogMessage(kLogInfo, "Couldn't load settings file! %s", ErrorText(ErrorCode()));
      return 1;
    }
    Row(Setting::ServerIP).current = static_cast<std::int32_t>(s.ipOption);
    SaveSettingsFile(file, -1);
  }
  if (s.ipOption != 0) {
    Row(Setting::ServerIP).current = static_cast<std::int32_t>(s.ipOption);
    SaveSettingsFile(file, -1);
  }
  ApplyPortOverrides();
  return kKeepGoing;
}

int LoadTables() {
  if (!LoadUserAccounts(SettingsFile("useraccess.con"))) {
    LogMessage(kLogInfo, "Couldn't load user file! %s", ErrorText(ErrorCode()));
    return 1;
  }
  if (!LoadSchedule(SettingsFile("serverschedule.con"))) {
    LogMessage(kLogInfo, "Couldn't load schedule file! %s", ErrorText(ErrorCode()));
    return 1;
  }
  CopySettingsToSnapshot();
  StatusReplyBuffer().assign(kStatusReplySize, '\0');
  LoadBannedWords();
  ClearClientSlots();
  return kKeepGoing;
}

int ReadGamePidFile() {
  const FileHandle f(std::fopen("bfvietnam.pid", "r"));
  if (!f) return -1;
  char line[64] = "";
  const bool read = std::fgets(line, sizeof line, f.get()) != nullptr;
  return read ? std::atoi(line) : -1;
}

void AdoptServer() {
  GameServer().monitoring = true;
  WatchServerExit();
  GameServer().consoleUser = CutToWidth(Row(Setting::ConsoleUsername).text, kNameMax);
  GameServer().consolePass = CutToWidth(Row(Setting::ConsolePassword).text, kNameMax);
}

// -stop: the console is logged in to first, so that the server is asked to
// quit before anything harder is tried. Keldor ends either way.
int StopServerAndExit() {
  AdoptServer();
  ErrorCode() = 0;
  if (!ConnectConsole() && ErrorCode() != 0) {
    LogMessage(kLogInfo, "Couldn't connect to server console! %s", ErrorText(ErrorCode()));
  }
  LogMessage(kLogInfo, StopServer() ? "Server stopped via command-line option."
                                    : "Couldn't stop server via command-line option!");
  return 0;
}

// The port is taken before any game server is started or adopted: a Keldor
// that cannot listen must end without leaving a server nobody looks after.
// -stop only stops the server and ends, so it needs no port.
int ListenStep() {
  if (Opts().stopServer) return kKeepGoing;
  return OpenListener();
}

// Finds a running game server and stops, adopts or starts one as the options ask.
int TakeChargeOfServer() {
  Options& s = Opts();
  int pid = ReadGamePidFile();
  if (pid == -1 && !FindServerProcess(&pid)) pid = 0;
  GameServer().pid = pid;
  if (FindServerProcess(&GameServer().pid)) {
    if (s.stopServer) return StopServerAndExit();
    AdoptServer();
    LogMessage(kLogInfo, "Server is already running, monitoring enabled.");
    return kKeepGoing;
  }
  if (s.stopServer) {
    LogMessage(kLogInfo, "No server is running, there is nothing to stop.");
    return 0;
  }
  if (s.startServer) {
    LogMessage(kLogInfo, StartServer() ? "Server started via command-line option."
                                       : "Couldn't start server via command-line option!");
  }
  return kKeepGoing;
}

// A pid file that cannot be ours is left alone and start-up goes on: a link
// planted there would have us truncate the file it points to.
void WritePidFile() {
  const char* path = Opts().pidFilePath.c_str();
  int holder = 0;
  switch (LockPidFile(Opts().pidFilePath, &holder)) {
    case PidFileOutcome::kWritten:
      return;
    case PidFileOutcome::kSymbolicLink:
      LogMessage(kLogInfo,
                 "SECURITY ALERT! PID file %s is a symbolic link; it was neither followed nor "
                 "written.",
                 path);
      return;
    case PidFileOutcome::kNotRegularFile:
      LogMessage(kLogInfo, "Couldn't write PID file to %s! It is not a regular file.", path);
      return;
    case PidFileOutcome::kHeld:
      LogMessage(kLogInfo, "Couldn't write PID file to %s! Another process (pid %i) holds it.",
                 path, holder);
      return;
    case PidFileOutcome::kFailed:
      LogMessage(kLogInfo, "Couldn't write PID file to %s! %s", path, ErrorText(ErrorCode()));
      return;
  }
}

// The fleet from the command line, else from the environment (systemd's
// environment file): a connection string with a password stays off the process list.
void JoinFleet() {
  Options& s = Opts();
  const char* conninfo = std::getenv("KELDOR_FLEET");
  if (s.fleetConnInfo.empty() && conninfo != nullptr) s.fleetConnInfo = conninfo;
  const char* name = std::getenv("KELDOR_FLEET_NAME");
  if (s.fleetName.empty() && name != nullptr) s.fleetName = name;
  StartFleet();
}

}  // namespace

int RunStartup() {
  Options& s = Opts();
  s.settingsDir =
      s.overlayPath.empty() ? s.serverDir + kModFolder + "/settings" : s.overlayPath + "settings";
  if (lzo_init() != LZO_E_OK) return Fatal("Couldn't initialise the compression library!");

  using Step = int (*)();
  for (Step step :
       {DescribeSystem, LogDirectories, CheckInstallation, LockInstallationStep, ProtectSecretFiles,
        PrepareFiles, LoadGameData, LoadSettings, LoadTables, ListenStep, TakeChargeOfServer}) {
    if (const int status = step(); status != kKeepGoing) return status;
  }
  if (s.daemon) {
    Daemonize();
    RecordLockOwner();
  }
  if (s.writePidFile) WritePidFile();
  JoinFleet();
  LoadAlerts();
  return kKeepGoing;
}

// The one place where the layers are connected: a lower layer never calls a
// higher one, so what flows upward goes through a hook set here. Hooks are
// wiring, never state: ResetAllState leaves them in place (the log's terminal
// check alone is cleared with the log's settings, of which it is one), and
// calling this again puts back any a test replaced. The console link's own
// hooks (gamelink/link_hooks) are plain calls within gamelink: nothing to wire.
void ConnectSubsystems() {
  // Each due job of the queue (runtime) goes to the client service (remote),
  // which makes it one call of the subsystem that owns the action.
  SetJobRunner(RunJob);
  // Every event a subsystem reports (runtime/events) reaches the clients as a
  // notification (remote), first of all listeners.
  Subscribe(TellClients);
  // A scheduled start or stop (schedule) starts or stops the game server (process).
  SetServerControl({[] { return StartServer(); }, StopServer});
  // Console event lines (gamelink, through runtime/events) reach the chat
  // handling (policing) after the clients, so that they hear of a line before
  // it is acted on; the chat handling finds in-game admins among the accounts (remote).
  ConnectChatHandling(FindAccountByKeyhash);
  // Bans and lifts made here (bans), the admin actions (policing, bans, gamelink,
  // through runtime/audit) and the game server's crashes reach the fleet, when
  // one is joined; bans the fleet brings are made without passing them back.
  ConnectBanFeed(FleetBanMade, FleetBanLifted);
  ConnectAudit(FleetAudit);
  Subscribe(FleetEvent);
  // What the subsystems raise as alerts is counted for the metrics and sent to
  // the webhook targets (alerts); the client service answers the metrics and
  // test-alert requests from there.
  ConnectAlerts([](const AlertReport& report) {
    CountAlert(report);
    QueueAlert(report);
  });
  ConnectOperatorReports({MetricsText, SendTestAlert});
  // A restart loop soon after an upload (remote) has the upload undone and the
  // server started once more (process); a steady run makes the upload stand.
  SetRestartLoopRescue(RollBackUpload);
  Subscribe(FollowServerForRollback);
  // The log (core) leaves the terminal to the status monitor while the game
  // server is watched (process).
  Logging().terminalTaken = [] { return GameServer().monitoring && Opts().statusMonitor != 0; };
}

int RunKeldor(int argc, char** argv) {
  ReserveStandardDescriptors();
  InstallSignalHandlers();
  ConnectSubsystems();
  const std::vector<std::string> words(argv + 1, argv + argc);
  std::string out;
  const CommandLineOutcome outcome = ParseCommandLine(words, out);
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
  if (outcome.exitNow) return outcome.status;

  if (const int status = RunStartup(); status != kKeepGoing) return status;
  const int status = RunMainLoop();
  RemovePidFile(Opts().pidFilePath);
  return status;
}

}  // namespace keldor
