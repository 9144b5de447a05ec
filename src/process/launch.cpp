// StartServer: validate the settings, write the game's files, fork and exec.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "gamelink/status_query.h"
#include "maps/rotation.h"
#include "process/server_process.h"
#include "runtime/events.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/game_config.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr std::time_t kQuickConnectSeconds = 20;
constexpr std::int32_t kPortMin = 1024;
constexpr std::int32_t kPortMax = 65535;

bool Refuse(const char* reason) {
  LogMessage(kLogInfo, "Couldn't start the server! %s", reason);
  ErrorCode() = 0;
  return false;
}

// The checks that keep an unsafe or unstartable configuration from launching.
bool SettingsAllowStart() {
  const SettingDef& port = Row(Setting::ServerPort);
  const std::int32_t consolePort = Row(Setting::ConsolePort).current;
  const std::string& user = Row(Setting::ConsoleUsername).text;
  const std::string& password = Row(Setting::ConsolePassword).text;
  const bool console = Row(Setting::EnableRemoteConsole).current != 0;
  const bool admin = Row(Setting::EnableRemoteAdmin).current != 0;
  const bool internet = Row(Setting::ServerInternet).current != 0;
  const int listenPort = Opts().listenPort;

  if (Row(Setting::ServerIP).current == 0) return Refuse("Server IP address is invalid.");
  if (port.current < port.minimum || port.current > port.maximum) {
    return Refuse("Game port address is invalid.");
  }
  if (console && (consolePort < kPortMin || consolePort > kPortMax)) {
    return Refuse("Remote Console port address is invalid.");
  }
  if (console && consolePort == listenPort) {
    return Refuse(
        "Remote Console port address is the same as the Keldor port address. These ports must "
        "NOT be the same address.");
  }
  if (port.current == listenPort) {
    return Refuse(
        "Game port address is the same as the Keldor port address. These ports must NOT be the "
        "same address.");
  }
  if (Row(Setting::ServerName).text.empty()) {
    return Refuse("You must provide a name for the server.");
  }
  if (admin && password.empty()) return Refuse("You must provide a password for Remote Admin.");
  if (internet && admin && strcasecmp(password.c_str(), "Sentinel") == 0) {
    return Refuse(
        "Using the default Remote Admin password is disallowed for an Internet server to prevent "
        "unauthorized access.");
  }
  if (console && (user.empty() || password.empty())) {
    return Refuse("You must provide a username and password to use the Remote Console.");
  }
  if (internet && console && user == "User" && password == "Sentinel") {
    return Refuse(
        "Using the default Remote Console username and password is disallowed for an Internet "
        "server to prevent unauthorized access.");
  }
  return true;
}

bool Failed(const char* reason) {
  LogMessage(kLogInfo, "Couldn't start the server! %s", reason);
  return false;
}

// The rotation, starting with the kept map when there is one.
bool WriteMapList(const std::string& mapList, bool keepMap) {
  const std::string rotation = Opts().settingsDir + "/servermaplist.con";
  const std::string& kept = CurrentMapOverride();
  if (!keepMap || kept.empty()) return CopyFile(rotation, mapList);
  return WriteMapListStartingAt(rotation, mapList, kept);
}

bool WriteGameFiles(bool keepMap) {
  const Options& s = Opts();
  std::remove((s.serverDir + kModFolder + "/settings" + "/adminsettings.con").c_str());
  if (!WriteServerSettings(s.settingsDir + "/serversettings.con")) {
    return Failed("Couldn't write server settings file.");
  }
  if (!WriteServerAutoexec(s.settingsDir + "/serverautoexec.con")) {
    return Failed("Couldn't write server autoexec file.");
  }
  const std::string mapList = s.settingsDir + "/maplist.con";
  if (!WriteMapList(mapList, keepMap)) {
    return Failed("Couldn't copy maplist file.");
  }
  struct stat st;
  if (stat(mapList.c_str(), &st) == 0 && st.st_size == 0) {
    return Failed("The map rotation does not contain at least one level.");
  }
  const std::string binary = s.serverDir + "/" + kServerBinary;
  if (!FileExists(binary)) {
    LogMessage(kLogInfo, "Couldn't start the server! Can't find the server binary file: %s.",
               binary.c_str());
    return false;
  }
  return true;
}

// The game server's argument vector. Each option and each value is an element
// of its own, so that paths and values may hold blanks.
std::vector<std::string> ServerArguments() {
  const Options& s = Opts();
  std::vector<std::string> pieces = {s.serverDir + "/" + kServerBinary, "+statusMonitor",
                                     std::to_string(s.statusMonitor)};
  if (!s.overlayPath.empty()) {
    pieces.push_back("+overlayPath");
    pieces.push_back(s.overlayPath);
  }
  pieces.insert(pieces.end(), s.serverArgWords.begin(), s.serverArgWords.end());
  return pieces;
}

// The child's end of a failed start: the reason goes to Keldor through the
// close-on-exec pipe, and the child ends as a shell does when a command
// cannot be run.
[[noreturn]] void ChildFailed(int report, int error) {
  if (write(report, &error, sizeof error) < 0) {
    // Keldor then takes the start as made; the exit code still tells.
  }
  _exit(127);
}

// Keldor's end: the errno of a start that failed before or in exec, or 0 when
// exec closed the pipe without a word.
int LaunchError(int report) {
  int error = 0;
  ssize_t got = 0;
  while ((got = read(report, &error, sizeof error)) < 0 && errno == EINTR) {
  }
  return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

[[noreturn]] void RunChild(const std::vector<std::string>& pieces, int report) {
  // The game server starts with the signal dispositions and mask it expects,
  // not Keldor's (SIGPIPE blocked, SIGCHLD held for the fork, SIGHUP ignored).
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGHUP, SIG_DFL);
  if (chdir(Opts().serverDir.c_str()) != 0) {
    // The binary path is absolute; the server then runs from Keldor's directory.
  }
  if (setsid() < 0) {
    const int error = errno;
    LogMessage(kLogInfo,
               "Couldn't start the server! Couldn't make server process session leader. %s",
               ErrorText(error));
    ChildFailed(report, error);
  }
  std::vector<char*> argv;
  for (const std::string& piece : pieces) argv.push_back(const_cast<char*>(piece.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  ChildFailed(report, errno);
}

}  // namespace

bool StartServer(bool keepMap) {
  if (!SettingsAllowStart() || !WriteGameFiles(keepMap)) return false;

  const std::vector<std::string> pieces = ServerArguments();
  if (Logging().debug) {
    std::string shown;
    for (const std::string& piece : pieces) shown += piece + " ";
    LogDebug("DEBUG: %s", shown.c_str());
  }
  // The child reports a start that failed before or in exec through this pipe.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    ErrorCode() = errno;
    LogMessage(kLogInfo, "Couldn't start the server! %s", ErrorText(ErrorCode()));
    return false;
  }
  OwnedFd reportRead(report[0]);
  OwnedFd reportWrite(report[1]);
  // SIGCHLD waits until the new pid is recorded: a child that fails at once
  // must still be recognised as the game server.
  sigset_t childSignal;
  sigset_t previous;
  sigemptyset(&childSignal);
  sigaddset(&childSignal, SIGCHLD);
  sigprocmask(SIG_BLOCK, &childSignal, &previous);
  const pid_t child = fork();
  if (child < 0) {
    const int error = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    ErrorCode() = error;
    LogMessage(kLogInfo, "Couldn't start the server! Fork failed. %s", ErrorText(error));
    return false;
  }
  if (child == 0) RunChild(pieces, reportWrite.get());
  reportWrite.Reset();  // so that the read ends when the child's copy goes
  const int launchError = LaunchError(reportRead.get());
  reportRead.Reset();
  if (launchError != 0) {
    // Reaped here, with SIGCHLD still held: no game server ever ran, so no
    // server exit may be reported for it.
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    ErrorCode() = launchError;
    LogMessage(kLogInfo, "Couldn't launch server! %s", ErrorText(launchError));
    return false;
  }
  GameServer().pid = child;
  GameServer().exited = 0;
  sigprocmask(SIG_SETMASK, &previous, nullptr);

  if (Row(Setting::EnableRemoteConsole).current == 0) {
    LogMessage(kLogInfo, "WARNING: The server has been started with the remote console disabled.");
    GameServer().consoleUser.clear();
    GameServer().consolePass.clear();
  } else {
    GameServer().consoleUser = CutToWidth(Row(Setting::ConsoleUsername).text, kNameMax);
    GameServer().consolePass = CutToWidth(Row(Setting::ConsolePassword).text, kNameMax);
  }
  LogMessage(kLogInfo, "Server started");
  Report(Event::kServerStarted);

  ForgetStatusPort();
  ServerWatch& watch = Watch();
  DetectedServerVersion() = 0.0f;
  if (!keepMap) SetCurrentMapOverride("");
  watch.launchTime = MonotonicNow();
  watch.quickConnectUntil = watch.launchTime + kQuickConnectSeconds;
  GameServer().monitoring = true;
  WatchServerExit();
  return true;
}

}  // namespace keldor
