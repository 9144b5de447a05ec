// Command-line reading.
#include "daemon/cmdline.h"

#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "daemon/licence.h"
#include "runtime/options.h"

namespace keldor {

namespace {

constexpr std::size_t kArgBufferText = kArgBufferSize - 1;  // room for text beside the NUL
// -hang: fewer passes would take a busy map load for a hang; more would leave
// a hung server alone for ten minutes.
constexpr long kMinHangPasses = 2;
constexpr long kMaxHangPasses = 200;

// Options that take no argument, and the flag each one sets (or clears).
struct FlagOption {
  const char* name;
  bool Options::*flag;
  bool value;
};

constexpr std::array<FlagOption, 13> kFlagOptions{{
    {"-daemon", &Options::daemon, true},
    {"-start", &Options::startServer, true},
    {"-stop", &Options::stopServer, true},
    {"-restart", &Options::autoRestart, true},
    {"-reuseaddr", &Options::reuseAddress, true},
    {"-exit", &Options::stopServerOnExit, true},
    {"-quit", &Options::quitWithServer, true},
    {"-kill", &Options::killInstance, true},
    {"-noadmin", &Options::adminMessages, false},
    {"-nodelay", &Options::kickDelay, false},
    {"-status", &Options::statusLog, true},
    {"-message", &Options::messageLog, true},
    {"-norollback", &Options::rollback, false},
}};

bool StartsArgumentLess(const std::string& word) {
  return !word.empty() && (word[0] == '-' || word[0] == '+' || word[0] == '@');
}

std::string CurrentDirectory() {
  char buffer[kPathMax + 1];
  if (getcwd(buffer, sizeof buffer) == nullptr) return ".";
  return buffer;
}

// Walks the words; `Next` hands out an option's argument.
class WordReader {
 public:
  explicit WordReader(const std::vector<std::string>& words) : words_(words) {}
  bool AtEnd() const { return index_ >= words_.size(); }
  const std::string& Take() { return words_[index_++]; }
  void Skip() {
    if (!AtEnd()) ++index_;
  }
  // The next word as an argument, or null when it is missing.
  const std::string* Argument(bool signedAllowed = false) {
    if (AtEnd()) return nullptr;
    if (!signedAllowed && StartsArgumentLess(words_[index_])) return nullptr;
    return &words_[index_++];
  }

 private:
  const std::vector<std::string>& words_;
  std::size_t index_ = 0;
};

// Warnings about words that are taken but not as the operator may have meant
// them. They wait until the whole line is read, when the log is in its place.
using Warnings = std::vector<std::string>;

void AddWarning(Warnings& warnings, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AddWarning(Warnings& warnings, const char* format, ...) {
  char text[kLogMessageMax + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  warnings.emplace_back(text);
}

// Each warning on standard error, where the operator starting Keldor sees it
// even with -daemon or -syslog, and in the log.
void ReportWarnings(const Warnings& warnings) {
  for (const std::string& warning : warnings) {
    std::fprintf(stderr, "%s\n", warning.c_str());
    LogMessage(kLogInfo, "%s", warning.c_str());
  }
  std::fflush(stderr);
}

// Exactly four dot-separated decimal numbers of 0 to 255.
bool IsDottedQuad(const std::string& text) {
  int parts = 0;
  std::size_t at = 0;
  while (parts < 4) {
    std::size_t digits = 0;
    int value = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && digits < 4) {
      value = value * 10 + (text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    if (++parts < 4 && (at >= text.size() || text[at++] != '.')) return false;
  }
  return at == text.size();
}

CommandLineOutcome MissingArgument(const std::string& name, std::string& out) {
  out += ">>> Error: " + name + " requires an argument!\n";
  return {true, 1};
}

void AddServerArgument(const std::string& word, const std::string& argument) {
  std::string& args = Opts().serverArgs;
  const std::size_t start = args.size() + 1;
  args += " " + word + " " + argument;
  if (args.size() > kArgBufferText) args.resize(kArgBufferText);
  // The word and its argument as the text kept them, cut alike.
  std::vector<std::string>& words = Opts().serverArgWords;
  words.push_back(args.substr(start, word.size()));
  const std::size_t value = start + word.size() + 1;
  words.push_back(value < args.size() ? args.substr(value) : std::string());
}

// A server command's line must never be cut in the middle: a command whose key
// and line end do not fit is refused as a whole, and only its value is cut.
bool AddServerCommand(const std::string& key, const std::string& argument) {
  std::string& cmds = Opts().serverCmds;
  const std::size_t fixed = key.size() + 2;  // space and LF
  if (cmds.size() + fixed > kArgBufferText) return false;
  const std::size_t room = kArgBufferText - cmds.size() - fixed;
  cmds += key + " " + argument.substr(0, room) + "\n";
  if (strcasecmp(key.c_str(), "game.gameSpyPort") == 0) {
    Opts().gameSpyPortOverride = std::atol(argument.c_str());
  } else if (strcasecmp(key.c_str(), "game.gameSpyLANPort") == 0) {
    Opts().gameSpyLanPortOverride = std::atol(argument.c_str());
  }
  return true;
}

// A relative directory is taken from the working directory: the game server runs
// elsewhere and the process table shows absolute executable paths.
std::string Absolute(const std::string& dir) {
  if (!dir.empty() && dir[0] == '/') return dir;
  return CurrentDirectory() + "/" + dir;
}

void SetOverlayPath(const std::string& dir) {
  std::string path = CutToWidth(Absolute(dir), kPathMax);
  if (path.empty() || path.back() != '/') path = CutToWidth(path, kPathMax - 1) + "/";
  Opts().overlayPath = path;
  mkdir((path + "logs").c_str(), 0755);  // fails harmlessly when the overlay is new
}

CommandLineOutcome KillInstance(std::string& out) {
  const Options& s = Opts();
  if (!s.writePidFile) {
    out += ">>> Error: -kill requires -pid!\n";
    return {true, 1};
  }
  const FileHandle f(std::fopen(s.pidFilePath.c_str(), "r"));
  if (!f) {
    out += ">>> Error: Couldn't open pid file: " + s.pidFilePath + "!\n";
    return {true, 1};
  }
  char line[1024];
  const bool read = std::fgets(line, sizeof line, f.get()) != nullptr;
  if (!read) {
    out += ">>> Error: Couldn't read pid file: " + s.pidFilePath + "!\n";
    return {true, 1};
  }
  const long pid = std::strtol(line, nullptr, 10);
  // A pid that is not a single positive process would signal a whole group.
  if (pid <= 0 || pid > 0x7FFFFFFF) {
    out += ">>> Error: Pid file contains an invalid pid! (" + std::to_string(pid) + ")\n";
    return {true, 1};
  }
  char message[1400];
  if (kill(static_cast<pid_t>(pid), SIGTERM) != 0) {
    std::snprintf(message, sizeof message, ">>> Error: Couldn't send SIGTERM to pid %i! %s\n",
                  static_cast<int>(pid), ErrorText(errno));
    out += message;
    return {true, 1};
  }
  std::snprintf(message, sizeof message, "Sent SIGTERM to pid %i.\n", static_cast<int>(pid));
  out += message;
  return {true, 0};
}

// A whole number from `low` to `high`, nothing else; false otherwise.
bool ReadBoundedNumber(const std::string& text, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(text.c_str(), &end, 10);
  return std::isdigit(static_cast<unsigned char>(text[0])) && *end == '\0' && errno == 0 &&
         *value >= low && *value <= high;
}

// -logkeep: how many rotated logs stay; true when the process must end.
bool ReadLogKeep(WordReader& reader, std::string& out, CommandLineOutcome& outcome) {
  const std::string* argument = reader.Argument();
  if (argument == nullptr) {
    outcome = MissingArgument("-logkeep", out);
    return true;
  }
  long keep = 0;
  if (!ReadBoundedNumber(*argument, 0, kMaxLogKeep, &keep)) {
    out += ">>> Error: -logkeep must be a whole number from 0 to " + std::to_string(kMaxLogKeep) +
           ".\n";
    outcome = {true, 1};
    return true;
  }
  Logging().keepRotated = static_cast<int>(keep);
  return false;
}

// -hang: monitor passes without an answer before the game server counts as
// hung; true when the process must end.
bool ReadHangPasses(WordReader& reader, std::string& out, CommandLineOutcome& outcome) {
  const std::string* argument = reader.Argument();
  if (argument == nullptr) {
    outcome = MissingArgument("-hang", out);
    return true;
  }
  long passes = 0;
  if (!ReadBoundedNumber(*argument, kMinHangPasses, kMaxHangPasses, &passes)) {
    out += ">>> Error: -hang must be a whole number from " + std::to_string(kMinHangPasses) +
           " to " + std::to_string(kMaxHangPasses) + ".\n";
    outcome = {true, 1};
    return true;
  }
  Opts().hangPasses = static_cast<int>(passes);
  return false;
}

// Handles one "-" option; returns an outcome that ends the process, or none.
bool ReadOption(const std::string& word, WordReader& reader, std::string& out,
                CommandLineOutcome& outcome, Warnings& warnings) {
  Options& s = Opts();
  const char* name = word.c_str();
  for (const FlagOption& option : kFlagOptions) {
    if (strcasecmp(name, option.name) == 0) {
      s.*option.flag = option.value;
      return false;
    }
  }
  if (strcasecmp(name, "-debug") == 0) {
    Logging().debug = true;
    return false;
  }
  // --help and -h as most tools take them: they must never start the daemon.
  if (strcasecmp(name, "-?") == 0 || strcasecmp(name, "--help") == 0 ||
      strcasecmp(name, "-h") == 0) {
    out += UsageText();
    outcome = {true, 0};
    return true;
  }
  if (strcasecmp(name, "-license") == 0) {
    out += LicenceText();
    outcome = {true, 0};
    return true;
  }
  if (strcasecmp(name, "--version") == 0 || strcasecmp(name, "-version") == 0) {
    out += std::string(kVersionText) + "\n";  // the first line of the log says the same
    outcome = {true, 0};
    return true;
  }

  const bool isPath = strcasecmp(name, "-path") == 0;
  const bool isPid = strcasecmp(name, "-pid") == 0;
  const bool isIp = strcasecmp(name, "-ip") == 0;
  const bool isPort = strcasecmp(name, "-port") == 0;
  const bool isPriority = strcasecmp(name, "-priority") == 0;
  const bool isSyslog = strcasecmp(name, "-syslog") == 0;
  if (strcasecmp(name, "-logkeep") == 0) return ReadLogKeep(reader, out, outcome);
  if (strcasecmp(name, "-fleet") == 0 || strcasecmp(name, "-fleetname") == 0) {
    const bool isName = strcasecmp(name, "-fleetname") == 0;
    const std::string* argument = reader.Argument();
    if (argument == nullptr || argument->empty()) {
      outcome = MissingArgument(isName ? "-fleetname" : "-fleet", out);
      return true;
    }
    (isName ? s.fleetName : s.fleetConnInfo) = *argument;
    return false;
  }
  if (strcasecmp(name, "-metrics") == 0) {
    const std::string* argument = reader.Argument();
    if (argument == nullptr || argument->empty()) {
      outcome = MissingArgument("-metrics", out);
      return true;
    }
    // Made absolute now: -daemon changes the working directory later.
    s.metricsPath = CutToWidth(Absolute(*argument), kPathMax);
    return false;
  }
  if (strcasecmp(name, "-hang") == 0) return ReadHangPasses(reader, out, outcome);
  if (!(isPath || isPid || isIp || isPort || isPriority || isSyslog)) {
    // Taken without effect, as always; but a typing error must not pass unseen.
    AddWarning(warnings, "WARNING: Unknown option %s ignored.", name);
    return false;
  }

  const char* canonical = isPath       ? "-path"
                          : isPid      ? "-pid"
                          : isIp       ? "-ip"
                          : isPort     ? "-port"
                          : isPriority ? "-priority"
                                       : "-syslog";
  const std::string* argument = reader.Argument(isPriority);
  if (argument == nullptr || ((isPath || isPid) && *argument == ".")) {
    outcome = MissingArgument(canonical, out);
    return true;
  }
  if (isPath) {
    std::string dir = CutToWidth(Absolute(*argument), kPathMax);
    if (!dir.empty() && dir.back() == '/') dir.pop_back();
    s.serverDir = dir;
  } else if (isPid) {
    s.writePidFile = true;
    s.pidFilePath = CutToWidth(Absolute(*argument), kPathMax);
  } else if (isIp) {
    s.ipOption = ParseIPv4(argument->c_str());
    if (!IsDottedQuad(*argument)) {
      AddWarning(warnings, "WARNING: -ip %s is not an IPv4 address, it is read as %s.",
                 argument->c_str(), FormatIPv4(s.ipOption));
    }
  } else if (isPort) {
    // Only a whole number from 1 to 65535: anything else would listen elsewhere than asked.
    long port = 0;
    if (!ReadBoundedNumber(*argument, 1, 65535, &port)) {
      out += ">>> Error: Port number must be between 1 and 65535.\n";
      outcome = {true, 1};
      return true;
    }
    s.listenPort = static_cast<std::uint16_t>(port);
  } else if (isPriority) {
    s.renice = true;
    s.priority = std::atoi(argument->c_str());
  } else {
    const int facility = std::atoi(argument->substr(0, 2).c_str());
    if (facility < 0 || facility > 7) {
      out += ">>> Error: Syslog local facility number must be between 0 and 7.\n";
      outcome = {true, 1};
      return true;
    }
    OpenSyslog(LOG_LOCAL0 + (facility << 3));
  }
  return false;
}

// Handles one "+" word; returns true when the process must end.
bool ReadPlusWord(const std::string& word, WordReader& reader, std::string& out,
                  CommandLineOutcome& outcome) {
  const char* name = word.c_str();
  if (strcasecmp(name, "+game") == 0) return false;
  const bool monitor = strcasecmp(name, "+statusMonitor") == 0;
  if (monitor || strcasecmp(name, "+overlayPath") == 0) {
    const std::string* argument = reader.Argument();
    if (argument == nullptr) {
      outcome = MissingArgument(monitor ? "+statusMonitor" : "+overlayPath", out);
      return true;
    }
    if (monitor) {
      Opts().statusMonitor = std::atoi(argument->c_str());
    } else {
      SetOverlayPath(*argument);
    }
    return false;
  }
  if (Opts().serverArgs.size() + word.size() >= kArgBufferSize) {
    LogMessage(kLogInfo,
               "Too many server arguments were specified on the command-line, not all arguments "
               "will be processed.");
    return false;  // its argument is read as the next word
  }
  const std::string* argument = reader.Argument();
  if (argument == nullptr) {
    outcome = MissingArgument(word, out);
    return true;
  }
  AddServerArgument(word, *argument);
  return false;
}

bool ReadAtWord(const std::string& word, WordReader& reader, std::string& out,
                CommandLineOutcome& outcome) {
  const std::string key = word.substr(1);
  if (Opts().serverCmds.size() + word.size() >= kArgBufferSize) {
    LogMessage(kLogInfo,
               "Too many custom server commands were specified on the command-line, not all "
               "commands will be processed.");
    return false;
  }
  const std::string* argument = reader.Argument();
  if (argument == nullptr) {
    outcome = MissingArgument(key, out);
    return true;
  }
  if (!AddServerCommand(key, *argument)) {
    LogMessage(kLogInfo,
               "Too many custom server commands were specified on the command-line, not all "
               "commands will be processed.");
  }
  return false;
}

}  // namespace

const char* UsageText() {
  static const std::string text =
      "\n\n"
      "Usage: keldor [-path <path>] [-ip <ip>] [-port <port>] [-pid <path>] [-daemon] [-start] "
      "[-stop]\n"
      "       [-restart] [-priority <#>] [-syslog <#>] [-quit] [-noadmin] [-nodelay] "
      "[-license]\n"
      "       [-reuseaddr] [-exit] [-kill] [-logkeep <#>] [-debug] [-status] [-message]\n"
      "       [-fleet <conninfo>] [-fleetname <name>] [-metrics <file>] [-hang <#>]\n"
      "       [-norollback]\n"
      "       [--version] [--help] [+server args] [@server cmds]\n"
      "\n"
      "where\t-path <path>\tis the /path/to/server/directory (no trailing slash)\n"
      "     \t-ip <ip>\tsets the server and keldor TCP/IP address (cannot be 0.0.0.0)\n"
      "     \t-port <port>\tsets the TCP port address of the keldor listen server (default "
      "15667)\n"
      "     \t-pid <path>\tcreates /path/to/pid/filename containing the keldor instance pid\n"
      "     \t-daemon\t\tdaemonizes the keldor process\n"
      "     \t-start\t\tstarts the server when keldor starts\n"
      "     \t-stop\t\tstops the server when keldor starts\n"
      "     \t-restart\trestarts the server process automatically after a crash\n"
      "     \t-priority <#>\twill renice the server to the given priority\n"
      "     \t-syslog <#>\tlogs to specified syslog local facility 0-7 instead of keldor.log\n"
      "     \t-logkeep <#>\tkeeps the newest <#> rotated logs, 0 keeps all (default " +
      std::to_string(kDefaultLogKeep) +
      ")\n"
      "     \t-reuseaddr\tbinds the listen socket while old connections linger (always on)\n"
      "     \t-exit\t\tstops the server when keldor exits\n"
      "     \t-quit\t\tterminates keldor when the server process terminates unexpectedly\n"
      "     \t-kill\t\tterminates the instance of keldor referenced by the pid file given with "
      "-pid\n"
      "     \t-noadmin\tsends admin messages as gray chat messages instead of yellow server "
      "messages\n"
      "     \t-nodelay\tkicks/bans players without a delay\n"
      "     \t-license\tdisplays software license agreement\n"
      "     \t-debug\t\tlogs debugging messages (lines beginning DEBUG:)\n"
      "     \t-status\t\tappends each status query reply to status.log\n"
      "     \t-message\tappends each console request and response to message.log\n"
      "     \t-fleet <conninfo>\tjoins the fleet whose PostgreSQL database the libpq\n"
      "     \t\t\tconnection string names (default: $KELDOR_FLEET)\n"
      "     \t-fleetname <name>\tthis server's name in the fleet (default: $KELDOR_FLEET_NAME,\n"
      "     \t\t\telse the server name)\n"
      "     \t-metrics <file>\twrites Prometheus metrics to <file> every 3 seconds\n"
      "     \t-hang <#>\ttakes a server whose console and status query stay silent for\n"
      "     \t\t\t<#> passes of 3 seconds as hung (10 is a good value); with\n"
      "     \t\t\t-restart it is killed and started again\n"
      "     \t-norollback\tkeeps an upload after which the server crashes at start-up\n"
      "     \t--version\tprints the version and exits\n"
      "     \t--help, -h, -?\tprints this text and exits\n"
      "     \t[+server args]\twill be passed to the server process e.g. +game BF1942\n"
      "     \t[@server cmds]\twill be appended to serversettings.con e.g. @game.gameSpyPort "
      "23000\n"
      "\n";
  return text.c_str();
}

void ConfigureLogging() {
  const Options& s = Opts();
  Logging().directory = s.overlayPath.empty() ? s.serverDir : s.overlayPath + "logs";
}

CommandLineOutcome ParseCommandLine(const std::vector<std::string>& words, std::string& out) {
  Options& s = Opts();
  s.serverDir = CutToWidth(CurrentDirectory(), kPathMax);
  s.pidFilePath = CutToWidth(s.serverDir + "/keldor.pid", kPathMax);
  s.serverArgs.clear();
  s.serverArgWords.clear();
  s.serverCmds.clear();
  s.overlayPath.clear();
  ConfigureLogging();

  WordReader reader(words);
  CommandLineOutcome outcome;
  Warnings warnings;
  while (!reader.AtEnd()) {
    const std::string& word = reader.Take();
    bool stop = false;
    if (word.empty() || !StartsArgumentLess(word)) {
      reader.Skip();  // a stray word takes the word after it along
    } else if (word[0] == '+') {
      stop = ReadPlusWord(word, reader, out, outcome);
    } else if (word[0] == '@') {
      stop = ReadAtWord(word, reader, out, outcome);
    } else {
      stop = ReadOption(word, reader, out, outcome, warnings);
    }
    if (stop) return outcome;
  }

  if (s.statusMonitor != 0 && s.daemon) s.statusMonitor = 0;
  ConfigureLogging();
  ReportWarnings(warnings);
  if (s.killInstance) return KillInstance(out);
  return {};
}

}  // namespace keldor
