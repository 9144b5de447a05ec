// keldorctl's sub-commands: one per request of the client protocol, each a
// small function in one table with its usage line and help text.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "connection.h"

namespace keldorctl {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitBroken = 2;   // no connection, or it broke
constexpr int kExitRefused = 3;  // the login or the request was refused
constexpr int kExitFailed = 4;   // the command failed or its answer is not available
constexpr int kDefaultPort = 15667;

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
  const char* summary;  // one line in the command list
  const char* details;  // `keldorctl help <command>`
  // Checks the arguments before anything is sent; false is a usage error
  // with the reason already printed. May be null.
  bool (*check)(const Options&);
  int (*run)(Connection&, const Options&);
};

std::span<const Command> Commands();
const Command* FindCommand(const std::string& name);

// Prints the reason on stderr and returns kExitBroken.
int Broken(const Connection& c);

}  // namespace keldorctl
