// keldorctl: the command-line client for Keldor's remote administration
// protocol. It logs in like any client and runs one sub-command of the table
// in commands.cpp.
#include <lzo/lzoconf.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "connection.h"
#include "core/log.h"
#include "core/owned.h"
#include "fleet.h"
#include "rights.h"
#include "wire/protocol.h"

namespace keldorctl {

using namespace keldor;

namespace {

void PrintHelp(std::FILE* out) {
  std::fprintf(out,
               "Usage: keldorctl [options] <command> [arguments]\n"
               "\n"
               "Options:\n"
               "  --host <address>     Keldor's address (else $KELDOR_HOST, else 127.0.0.1)\n"
               "  --port <port>        Keldor's port (else $KELDOR_PORT, else %d)\n"
               "  --timeout <seconds>  how long to wait for the connection and for each\n"
               "                       answer (default %d)\n"
               "  --user <name>        account name (else $KELDOR_USER, else a prompt)\n"
               "  --password <secret>  password (else $KELDOR_PASSWORD, else a prompt that\n"
               "                       does not echo); other users can see options in the\n"
               "                       process list, so prefer the environment or the prompt\n"
               "  --json               data as JSON: status, players, clients, bans,\n"
               "                       schedule, join-info, fleet and user list print one\n"
               "                       object or array (numbers as numbers, unknown values\n"
               "                       null, times as epoch seconds and ISO 8601), watch\n"
               "                       one object per line\n"
               "  --help               this text\n"
               "  --version            keldorctl's version\n"
               "\n"
               "Commands:\n",
               kDefaultPort, kDefaultTimeout);
  for (const Command& command : Commands()) {
    std::fprintf(out, "  %s\n      %s\n", command.usage, command.summary);
  }
  std::fprintf(out,
               "  help [command]\n      This text, or more about one command.\n"
               "\n"
               "Exit status: 0 success, 1 usage, 2 no connection or a broken one (or no\n"
               "answer in time), 3 the login or the request was refused, 4 the command failed.\n");
}

void PrintShortUsage() {
  std::fprintf(stderr,
               "Usage: keldorctl [options] <command> [arguments]\n"
               "\"keldorctl help\" lists the options and commands.\n");
}

int PrintCommandHelp(const std::string& name) {
  const Command* command = FindCommand(name);
  if (command == nullptr) {
    std::fprintf(stderr, "keldorctl: unknown command %s.\n", name.c_str());
    return kExitUsage;
  }
  std::printf("Usage: keldorctl [options] %s\n\n%s\n%s\n", command->usage, command->summary,
              CommandDetails(*command).c_str());
  return kExitOk;
}

bool ParsePort(const char* text, const char* source, int* port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 1 || value > 65535) {
    std::fprintf(stderr, "keldorctl: %s%s is not a port.\n", source, text);
    return false;
  }
  *port = static_cast<int>(value);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    const bool hasValue = k + 1 < argc;
    if (!options->command.empty()) {
      options->args.push_back(arg);
    } else if (arg == "--help" || arg == "-h") {
      options->command = "help";
    } else if (arg == "--version") {
      options->command = "version";
    } else if (arg == "--json") {
      options->json = true;
    } else if ((arg == "--host" || arg == "--port" || arg == "--timeout" || arg == "--user" ||
                arg == "--password") &&
               !hasValue) {
      std::fprintf(stderr, "keldorctl: %s needs a value.\n", arg.c_str());
      return false;
    } else if (arg == "--host") {
      options->host = argv[++k];
      options->haveHost = true;
    } else if (arg == "--port") {
      if (!ParsePort(argv[++k], "", &options->port)) return false;
      options->havePort = true;
    } else if (arg == "--timeout") {
      char* end = nullptr;
      const long seconds = std::strtol(argv[++k], &end, 10);
      if (*argv[k] == '\0' || *end != '\0' || seconds < 1 || seconds > 86400) {
        std::fprintf(stderr, "keldorctl: --timeout takes 1 to 86400 seconds, not %s.\n", argv[k]);
        return false;
      }
      options->timeout = static_cast<int>(seconds);
    } else if (arg == "--user") {
      options->user = argv[++k];
      options->haveUser = true;
    } else if (arg == "--password") {
      options->password = argv[++k];
      options->havePassword = true;
    } else if (arg.starts_with("--")) {
      std::fprintf(stderr, "keldorctl: unknown option %s.\n", arg.c_str());
      return false;
    } else {
      options->command = arg;
    }
  }
  // The environment fills what the options leave open.
  if (const char* env = std::getenv("KELDOR_HOST"); env != nullptr && !options->haveHost) {
    options->host = env;
  }
  if (const char* env = std::getenv("KELDOR_PORT"); env != nullptr && !options->havePort) {
    if (!ParsePort(env, "KELDOR_PORT=", &options->port)) return false;
  }
  return true;
}

// Reads one line from the terminal; with `secret` the terminal does not echo it.
bool Prompt(const char* question, bool secret, std::string* answer) {
  const keldor::FileHandle owned(std::fopen("/dev/tty", "r+"));
  std::FILE* tty = owned.get();
  if (tty == nullptr) return false;
  std::fprintf(tty, "%s", question);
  std::fflush(tty);
  termios saved{};
  const bool quiet = secret && tcgetattr(fileno(tty), &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fileno(tty), TCSAFLUSH, &silent);
  }
  char line[256] = "";
  const bool read = std::fgets(line, sizeof line, tty) != nullptr;
  if (quiet) {
    tcsetattr(fileno(tty), TCSAFLUSH, &saved);
    std::fprintf(tty, "\n");
  }
  if (!read) return false;
  line[std::strcspn(line, "\r\n")] = '\0';
  *answer = line;
  return true;
}

bool FillCredentials(Options* options) {
  if (!options->haveUser) {
    if (const char* env = std::getenv("KELDOR_USER")) {
      options->user = env;
    } else if (!Prompt("User: ", false, &options->user)) {
      std::fprintf(stderr, "keldorctl: no user given (--user, KELDOR_USER or a terminal).\n");
      return false;
    }
  }
  if (!options->havePassword) {
    if (const char* env = std::getenv("KELDOR_PASSWORD")) {
      options->password = env;
    } else if (!Prompt("Password: ", true, &options->password)) {
      std::fprintf(stderr,
                   "keldorctl: no password given (--password, KELDOR_PASSWORD or a terminal).\n");
      return false;
    }
  }
  return true;
}

int LogIn(Connection& c, const Options& options) {
  LoginOutcome outcome;
  if (!c.Login(options.user, options.password, &outcome)) {
    if (!outcome.answered) {
      std::fprintf(stderr, "keldorctl: %s\n%s\n", c.Error().c_str(), ErrorText(30002));
      return kExitBroken;
    }
    return Broken(c);
  }
  if (outcome.result > kLoginResultMax) {
    std::fprintf(stderr, "keldorctl: %s\n", ErrorText(30002));
    return kExitBroken;
  }
  if (outcome.lockoutMinutes > 0) {
    std::fprintf(stderr, "keldorctl: login refused: %s\n", LoginRefusalText(outcome).c_str());
    return kExitRefused;
  }
  if (outcome.result != 0) {
    std::fprintf(stderr, "keldorctl: login refused (%d): %s\n", outcome.result,
                 LoginRefusalText(outcome.result).c_str());
    return kExitRefused;
  }
  if (!outcome.versionMatches) {
    std::fprintf(stderr, "keldorctl: %s\n", ErrorText(30001));
    return kExitRefused;
  }
  return kExitOk;
}

void OnStop(int) {
  RequestStop();
}

void CatchStops() {
  struct sigaction action {};
  action.sa_handler = OnStop;  // no SA_RESTART: a wait sees the signal at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int Main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    PrintShortUsage();
    return kExitUsage;
  }
  if (options.command == "help" && !options.args.empty()) {
    return PrintCommandHelp(options.args[0]);
  }
  if (options.command.empty()) {
    PrintShortUsage();
    return kExitUsage;
  }
  if (options.command == "version") {
    std::printf("keldorctl %s\n", kRelease);
    return kExitOk;
  }
  if (options.command == "help") {
    PrintHelp(stdout);
    return kExitOk;
  }
  const Command* command = FindCommand(options.command);
  if (command == nullptr) {
    std::fprintf(stderr, "keldorctl: unknown command %s.\n", options.command.c_str());
    PrintShortUsage();
    return kExitUsage;
  }
  if (command->check != nullptr && !command->check(options)) {
    PrintCommandUsage(*command);
    return kExitUsage;
  }
  if (options.command == kFleetCommand) return RunFleet(options);
  if (!FillCredentials(&options)) return kExitUsage;
  CatchStops();
  if (lzo_init() != LZO_E_OK) {
    std::fprintf(stderr, "keldorctl: couldn't initialise the compression library.\n");
    return kExitFailed;
  }

  Connection connection;
  connection.SetTimeout(options.timeout);
  if (!connection.Open(options.host, options.port)) return Broken(connection);
  const int login = LogIn(connection, options);
  if (login != kExitOk) return login;
  return command->run(connection, options);
}

}  // namespace keldorctl

int main(int argc, char** argv) {
  return keldorctl::Main(argc, argv);
}
