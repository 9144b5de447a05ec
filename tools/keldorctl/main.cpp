// keldorctl: the command-line client for Keldor's remote administration
// protocol. It logs in like any client and runs one sub-command; each
// sub-command is one small function in the table below.
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

#include "connection.h"
#include "core/log.h"
#include "remote/protocol.h"

namespace keldorctl {

using namespace keldor;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitBroken = 2;   // no connection, or it broke
constexpr int kExitRefused = 3;  // the login was refused
constexpr int kExitFailed = 4;   // the command failed or its answer is not available
constexpr int kDefaultPort = 15667;
constexpr int kReplySeconds = 30;

struct Options {
  std::string host = "127.0.0.1";
  int port = kDefaultPort;
  std::string user;
  std::string password;
  bool haveUser = false;
  bool havePassword = false;
  std::string command;
  std::vector<std::string> args;
};

struct Command {
  const char* name;
  const char* usage;
  const char* help;
  int (*run)(Connection&, const Options&);
};

int Broken(const Connection& c) {
  std::fprintf(stderr, "keldorctl: %s\n", c.Error().c_str());
  return kExitBroken;
}

// One notification per output line: control bytes in a text are shown escaped.
std::string Printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      shown += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    }
  }
  return shown;
}

void PrintNote(const Message& note) {
  const char* name = NoteName(note.code);
  if (name != nullptr) {
    std::printf("%s", name);
  } else {
    std::printf("0x%08X", static_cast<unsigned>(note.code));
  }
  if (!note.data.empty()) std::printf(" %s", Printable(note.data).c_str());
  std::printf("\n");
  std::fflush(stdout);
}

// Notifications that arrive while a command waits for its answer: shown on
// stderr so that the answer on stdout stays clean for scripts.
bool NoteWhileWaiting(const Message& note, Connection& c) {
  if (note.code == NOTE_DISCONNECT) {
    c.SetError("Keldor closed the connection (NOTE_DISCONNECT).");
    return false;
  }
  const char* name = NoteName(note.code);
  std::fprintf(stderr, "keldorctl: (%s)\n", name != nullptr ? name : "unknown notification");
  return true;
}

// Waits for the notification that answers a request: `done` means success,
// NOTE_COMMAND_FAILED means Keldor could not carry it out. Requests that
// become jobs are answered this way, so most sub-commands are this one call.
int AwaitNote(Connection& c, std::uint32_t done) {
  Message note;
  for (;;) {
    if (!c.Receive(&note, kReplySeconds)) return Broken(c);
    if (!note.isNote) {
      c.SetError("Keldor sent a reply nobody asked for.");
      return Broken(c);
    }
    if (note.code == done) return kExitOk;
    if (note.code == NOTE_COMMAND_FAILED) {
      std::fprintf(stderr, "keldorctl: Keldor reports that the command failed.\n");
      return kExitFailed;
    }
    if (!NoteWhileWaiting(note, c)) return Broken(c);
  }
}

int RunPing(Connection& c, const Options&) {
  if (!c.SendRequest(REQ_PING)) return Broken(c);
  const int status = AwaitNote(c, NOTE_PONG);
  if (status == kExitOk) std::printf("pong\n");
  return status;
}

// The status text is 19 comma-terminated fields; the server name is quoted and
// the PunkBuster field may carry commas of its own, so it takes the rest.
std::vector<std::string> SplitStatus(const std::string& text) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  if (text.starts_with('"')) {
    const std::size_t end = text.find("\",", 1);
    if (end != std::string::npos) {
      fields.push_back(text.substr(1, end - 1));
      at = end + 2;
    }
  }
  constexpr std::size_t kFields = 19;
  while (fields.size() + 1 < kFields && at < text.size()) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    fields.push_back(text.substr(at, comma - at));
    at = comma + 1;
  }
  if (at < text.size()) {
    std::string rest = text.substr(at);
    while (rest.ends_with(',')) rest.pop_back();
    fields.push_back(rest);
  }
  for (std::string& f : fields) {
    while (!f.empty() && std::isspace(static_cast<unsigned char>(f.back()))) f.pop_back();
  }
  return fields;
}

int RunStatus(Connection& c, const Options&) {
  static const char* const kLabels[] = {
      "Server name",  "Address",      "Players",        "Current map",   "Current level",
      "Idle map",     "Server state", "Last crash",     "Console",       "Game mode",
      "Game version", "Password",     "Team-kill mode", "Content check", "Team scores",
      "Team sizes",   "Round time",   "Tickets",        "PunkBuster",
  };
  if (!c.SendRequest(REQ_GET_STATUS)) return Broken(c);
  Message reply;
  if (!c.ReceiveReply(&reply, kReplySeconds,
                      [&](const Message& note) { return NoteWhileWaiting(note, c); })) {
    return Broken(c);
  }
  if (reply.emptyReply) {
    std::fprintf(stderr, "keldorctl: Keldor could not get the server's status.\n");
    return kExitFailed;
  }
  const std::vector<std::string> fields = SplitStatus(reply.data);
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const char* label = k < std::size(kLabels) ? kLabels[k] : "?";
    std::printf("%-15s %s\n", label, fields[k].c_str());
  }
  return kExitOk;
}

int RunWatch(Connection& c, const Options&) {
  Message note;
  for (;;) {
    if (!c.Receive(&note, kWaitForever)) return c.Interrupted() ? kExitOk : Broken(c);
    if (!note.isNote) {
      c.SetError("Keldor sent a reply nobody asked for.");
      return Broken(c);
    }
    PrintNote(note);
    if (note.code == NOTE_DISCONNECT) return kExitOk;
  }
}

const Command kCommands[] = {
    {"ping", "ping", "Checks that Keldor answers (prints \"pong\").", RunPing},
    {"status", "status", "Shows the game server's status, one field per line.", RunStatus},
    {"watch", "watch", "Prints each notification (name, text) as it comes, until Ctrl-C.",
     RunWatch},
};

void PrintHelp(std::FILE* out) {
  std::fprintf(out,
               "Usage: keldorctl [options] <command> [arguments]\n"
               "\n"
               "Options:\n"
               "  --host <address>     Keldor's address (default 127.0.0.1)\n"
               "  --port <port>        Keldor's port (default %d)\n"
               "  --user <name>        account name (else $KELDOR_USER, else a prompt)\n"
               "  --password <secret>  password (else $KELDOR_PASSWORD, else a prompt that\n"
               "                       does not echo); other users can see options in the\n"
               "                       process list, so prefer the environment or the prompt\n"
               "  --help               this text\n"
               "\n"
               "Commands:\n",
               kDefaultPort);
  for (const Command& command : kCommands) {
    std::fprintf(out, "  %-20s %s\n", command.usage, command.help);
  }
  std::fprintf(out,
               "  %-20s %s\n"
               "\n"
               "Exit status: 0 success, 1 usage, 2 no connection or a broken one, 3 login\n"
               "refused, 4 the command failed.\n",
               "help", "This text.");
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    const bool hasValue = k + 1 < argc;
    if (!options->command.empty()) {
      options->args.push_back(arg);
    } else if (arg == "--help" || arg == "-h") {
      options->command = "help";
    } else if ((arg == "--host" || arg == "--port" || arg == "--user" || arg == "--password") &&
               !hasValue) {
      std::fprintf(stderr, "keldorctl: %s needs a value.\n", arg.c_str());
      return false;
    } else if (arg == "--host") {
      options->host = argv[++k];
    } else if (arg == "--port") {
      char* end = nullptr;
      const long port = std::strtol(argv[++k], &end, 10);
      if (*end != '\0' || port < 1 || port > 65535) {
        std::fprintf(stderr, "keldorctl: %s is not a port.\n", argv[k]);
        return false;
      }
      options->port = static_cast<int>(port);
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
  return true;
}

// Reads one line from the terminal; with `secret` the terminal does not echo it.
bool Prompt(const char* question, bool secret, std::string* answer) {
  std::FILE* tty = std::fopen("/dev/tty", "r+");
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
  std::fclose(tty);
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

// The texts Lorvik shows for a refusal; the table has none for 4, 6 and 7.
std::string RefusalText(int result) {
  switch (result) {
    case 1:
      return ErrorText(30003);
    case 2:
      return ErrorText(30004);
    case 3:
      return ErrorText(30005);
    case 5:
      return ErrorText(30006);
    case 4:
      return "The user account has no access rights.";
    case 6:
      return "The user account is already logged in and may not log in twice.";
    case 7:
      return "The maximum number of connected clients has been reached.";
    default:
      return ErrorText(30002);
  }
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
  if (outcome.result != 0) {
    std::fprintf(stderr, "keldorctl: login refused (%d): %s\n", outcome.result,
                 RefusalText(outcome.result).c_str());
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
    PrintHelp(stderr);
    return kExitUsage;
  }
  if (options.command.empty() || options.command == "help") {
    PrintHelp(options.command.empty() ? stderr : stdout);
    return options.command.empty() ? kExitUsage : kExitOk;
  }
  const Command* command = FindCommand(options.command);
  if (command == nullptr) {
    std::fprintf(stderr, "keldorctl: unknown command %s.\n\n", options.command.c_str());
    PrintHelp(stderr);
    return kExitUsage;
  }
  if (!FillCredentials(&options)) return kExitUsage;
  CatchStops();

  Connection connection;
  if (!connection.Open(options.host, options.port)) return Broken(connection);
  const int login = LogIn(connection, options);
  if (login != kExitOk) return login;
  return command->run(connection, options);
}

}  // namespace keldorctl

int main(int argc, char** argv) {
  return keldorctl::Main(argc, argv);
}
