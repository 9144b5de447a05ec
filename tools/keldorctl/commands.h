// keldorctl's sub-commands: one per request of the client protocol, each a
// small function in one table with its usage line and help text.
#pragma once

#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "connection.h"
#include "exchange.h"

namespace keldorctl {

using namespace keldorclient;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitBroken = 2;   // no connection, or it broke
constexpr int kExitRefused = 3;  // the login or the request was refused
constexpr int kExitFailed = 4;   // the command failed or its answer is not available
constexpr int kDefaultPort = 15667;
constexpr int kDefaultTimeout = 30;  // seconds for the connect and for each reply

struct Options {
  std::string host = "127.0.0.1";
  int port = kDefaultPort;
  int timeout = kDefaultTimeout;
  bool haveHost = false;
  bool havePort = false;
  std::string user;
  std::string password;
  bool haveUser = false;
  bool havePassword = false;
  bool json = false;  // data as JSON instead of text
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

// What the sub-commands share (commands.cpp).

// The usage line of a command on stderr, after a usage error.
void PrintCommandUsage(const Command& command);
// A refused request: the message (naming the right `request` needs when the
// account lacks it), and kExitRefused.
int NotCarriedOut(const Connection& c, std::uint32_t request);
// The exit status of an exchange's outcome, with the reason printed; a
// refusal of `request` names the right it needs (0: the request is not known).
int Finish(const Connection& c, Outcome outcome, std::uint32_t request = 0);
// Fetches one of Keldor's files: kExitOk with the content, or the exit status
// with the reason printed.
int Fetch(Connection& c, std::uint32_t request, std::string* content);
// Uploads a file and waits until Keldor has handled it: kExitOk or the exit status.
int Upload(Connection& c, std::uint32_t request, const std::string& content);
// A password from $KELDOR_NEW_PASSWORD, else asked twice on the terminal
// without echo; false with the reason printed.
bool PromptNewPassword(std::string* password);
constexpr std::size_t kPasswordMax = 31;
// One JSON document on a line of stdout. Texts from the game may be in any
// encoding: bytes that are not UTF-8 become U+FFFD rather than an error.
void PrintJson(const nlohmann::ordered_json& document);

}  // namespace keldorctl
