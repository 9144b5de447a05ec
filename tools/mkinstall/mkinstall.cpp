// mkinstall: lays out a self-contained game installation for demos and tests:
//   mkinstall [--pb] [--force] [--listen-port N] [--console-port N] [--game-port N]
//             [--query-port N] [--server-binary PATH] [--extra-mods N --maps-per-mod M] DIR
// Ports left out are picked free on 127.0.0.1. It prints what it made, one
// "key: value" line each, for people and scripts. An existing installation in
// DIR is left alone unless --force asks for a new one laid over it.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/helpers.h"
#include "core/owned.h"
#include "installation.h"

namespace keldor::mkinstall {

namespace {

constexpr int kPortAttempts = 50;

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: mkinstall [--pb] [--force] [--listen-port N] [--console-port N]\n"
               "                 [--game-port N] [--query-port N] [--server-binary PATH]\n"
               "                 [--extra-mods N --maps-per-mod M] DIR\n");
}

bool ParsePort(const char* text, std::uint16_t& port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

bool ParseCount(const char* text, int& count) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 10000) return false;
  count = static_cast<int>(value);
  return true;
}

bool ParseArguments(int argc, char** argv, InstallOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    std::uint16_t* port = word == "--listen-port"    ? &options.listenPort
                          : word == "--console-port" ? &options.consolePort
                          : word == "--game-port"    ? &options.gamePort
                          : word == "--query-port"   ? &options.queryPort
                                                     : nullptr;
    if (word == "--pb") {
      options.punkBuster = true;
    } else if (word == "--force") {
      options.force = true;
    } else if (word == "--extra-mods" || word == "--maps-per-mod") {
      if (i + 1 >= argc) return false;
      if (!ParseCount(argv[++i], word == "--extra-mods" ? options.extraMods : options.mapsPerMod)) {
        return false;
      }
    } else if (port != nullptr || word == "--server-binary") {
      if (i + 1 >= argc) return false;
      const char* value = argv[++i];
      if (port != nullptr ? !ParsePort(value, *port) : (options.serverBinary = value).empty()) {
        return false;
      }
    } else if (word.rfind("--", 0) == 0 || !options.dir.empty()) {
      return false;
    } else {
      options.dir = word;
    }
  }
  while (options.dir.size() > 1 && options.dir.back() == '/') options.dir.pop_back();
  return !options.dir.empty();
}

// A port free for both TCP and UDP on 127.0.0.1; the sockets stay open until
// every port is chosen so that the choices differ.
std::uint16_t PickFreePort(std::vector<OwnedFd>& held) {
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    OwnedFd tcp(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (tcp.get() < 0) return 0;
    if (bind(tcp.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(tcp.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return 0;
    }
    held.push_back(std::move(tcp));
    OwnedFd udp(socket(AF_INET, SOCK_DGRAM, 0));
    if (udp.get() >= 0 &&
        bind(udp.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      held.push_back(std::move(udp));
      return ntohs(address.sin_port);
    }
  }
  return 0;
}

bool ChoosePorts(InstallOptions& options) {
  std::vector<OwnedFd> held;
  bool chosen = true;
  for (std::uint16_t* port :
       {&options.listenPort, &options.consolePort, &options.gamePort, &options.queryPort}) {
    if (*port == 0) *port = PickFreePort(held);
    chosen = chosen && *port != 0;
  }
  return chosen;
}

// What every installation holds: the server binary and the mods directory.
// Anything else in DIR (a log, a note of the installation) is not ours to judge.
bool HoldsInstallation(const std::string& dir) {
  struct stat st;
  for (const char* entry : {"/bfv_linded", "/mods"}) {
    if (lstat((dir + entry).c_str(), &st) == 0) return true;
  }
  return false;
}

// The helpers record their failures in the shared state; plain calls leave errno.
int LastError() {
  return ErrorCode() != 0 ? ErrorCode() : errno;
}

bool AsksForHelp(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

int Run(int argc, char** argv) {
  // Asked for, the usage is an answer rather than a fault.
  if (AsksForHelp(argc, argv)) {
    PrintUsage(stdout);
    return 0;
  }
  InstallOptions options;
  if (!ParseArguments(argc, argv, options)) {
    PrintUsage(stderr);
    return 2;
  }
  if (!options.force && HoldsInstallation(options.dir)) {
    std::fprintf(stderr,
                 "mkinstall: %s already holds a game installation; remove it, or pass --force "
                 "to lay a new one over it (its accounts and settings are replaced).\n",
                 options.dir.c_str());
    return 1;
  }
  if (!ChoosePorts(options)) {
    std::fprintf(stderr, "mkinstall: couldn't find free ports on 127.0.0.1\n");
    return 1;
  }
  if (!MakeDirectories(options.dir) || !WriteGameData(options) || !InstallServerBinary(options)) {
    std::fprintf(stderr, "mkinstall: couldn't lay out %s: %s\n", options.dir.c_str(),
                 std::strerror(LastError()));
    return 1;
  }
  const Credentials console{"keldor", RandomPassword(12)};
  if (!WriteServerManagerFile(options, console) || !WriteRotationFile(options) ||
      !WriteBannedWordsFile(options)) {
    std::fprintf(stderr, "mkinstall: couldn't write Keldor's settings: %s\n",
                 std::strerror(LastError()));
    return 1;
  }
  const Credentials admin = WriteAdminAccount(options);
  std::printf("directory: %s\n", options.dir.c_str());
  std::printf("listen-port: %u\n", options.listenPort);
  std::printf("console-port: %u\n", options.consolePort);
  std::printf("game-port: %u\n", options.gamePort);
  std::printf("query-port: %u\n", options.queryPort);
  std::printf("console-user: %s\n", console.name.c_str());
  std::printf("console-password: %s\n", console.password.c_str());
  std::printf("admin-user: %s\n", admin.name.c_str());
  std::printf("admin-password: %s\n", admin.password.c_str());
  std::printf("punkbuster: %s\n", options.punkBuster ? "yes" : "no");
  std::printf("run: keldor -path %s -port %u\n", options.dir.c_str(), options.listenPort);
  return 0;
}

}  // namespace

}  // namespace keldor::mkinstall

int main(int argc, char** argv) {
  return keldor::mkinstall::Run(argc, argv);
}
