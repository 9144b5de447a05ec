// gamesim: the stand-in game server. It runs in the server directory, reads
// the game's settings files, answers the remote console and the UDP status
// query, simulates a game, and takes orders from tests on a control socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "config.h"
#include "console_server.h"
#include "control.h"
#include "core/owned.h"
#include "status_query.h"

namespace gamesim {
namespace {

constexpr const char* kPidFileName = "bfvietnam.pid";

volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) {
  stopSignal = signal;
}

void InstallSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

keldor::OwnedFd BindStatusSocket(const std::string& address, int port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  if (port <= 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    Log("Couldn't open the status port: bad address %s:%d", address.c_str(), port);
    return {};
  }
  keldor::OwnedFd socket(::socket(AF_INET, SOCK_DGRAM, 0));
  if (socket.get() < 0 ||
      bind(socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    Log("Couldn't open the status port %s:%d: %s", address.c_str(), port, std::strerror(errno));
    return {};
  }
  Log("Status query listening on %s:%d", address.c_str(), port);
  return socket;
}

// The configured status port, or when that is taken the first free one of the
// ranges the administrator probes: 23000 to 23009, then 22000 to 22010.
keldor::OwnedFd OpenStatusSocket(Server& server, const std::string& address) {
  const bool internet = server.game.NumberSetting("game.serverInternet", 0) != 0;
  const int configured = static_cast<int>(server.game.NumberSetting(
      internet ? "game.gameSpyPort" : "game.gameSpyLANPort", internet ? 23000 : 22000));
  std::vector<int> ports{configured};
  for (int port = 23000; port <= 23009; ++port) ports.push_back(port);
  for (int port = 22000; port <= 22010; ++port) ports.push_back(port);
  for (int port : ports) {
    keldor::OwnedFd socket = BindStatusSocket(address, port);
    if (socket.get() >= 0) {
      server.statusPort = port;
      return socket;
    }
  }
  return {};
}

void AnswerStatusQuery(const Server& server, int socket) {
  std::uint8_t request[64];
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const ssize_t got = recvfrom(socket, request, sizeof request, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&peer), &length);
  if (got <= 0) return;
  const auto reply = BuildStatusReply(server, request, static_cast<std::size_t>(got));
  if (!reply) return;
  sendto(socket, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&peer), length);
}

bool WritePidFile() {
  std::ofstream file(kPidFileName, std::ios::trunc);
  file << getpid() << '\n';
  return static_cast<bool>(file.flush());
}

void AddStartingPlayers(Server& server, const Options& options) {
  std::string error;
  for (int i = 0; i < options.players; ++i) server.game.AddPlayer(NewPlayer{}, error);
  for (int i = 0; i < options.bots; ++i) {
    NewPlayer bot;
    bot.bot = true;
    bot.name = "Bot" + std::to_string(i + 1);
    server.game.AddPlayer(bot, error);
  }
  for (int i = 0; i < options.laggers; ++i) {
    NewPlayer lagger;
    lagger.lagging = true;
    server.game.AddPlayer(lagger, error);
  }
  server.game.SetLaggers(options.laggers);
  server.game.TakeEvents();
}

int Run(const Options& options) {
  Server server(options.seed);
  server.serverDir = std::filesystem::current_path().string();
  server.settingsDir = SettingsDirectory(server.serverDir, options);
  server.quitStatus = options.quitStatus;
  server.game.SetRoundSeconds(options.roundSeconds);
  Log("Starting in %s with settings from %s (seed %u)", server.serverDir.c_str(),
      server.settingsDir.c_str(), options.seed);
  LoadGameFiles(server);
  for (const auto& [key, value] : options.serverArgs) {
    if (key == "+maxPlayers") server.game.SetSetting("game.serverMaxPlayers", value);
  }
  AddStartingPlayers(server, options);
  server.game.SetSimulationPeriod(options.tickSeconds);

  const std::string address = server.game.SettingOr("game.serverIP", "0.0.0.0");
  ConsoleServer console(server);
  if (server.consoleEnabled && !console.Listen(address, server.consolePort)) return 1;
  const keldor::OwnedFd status = OpenStatusSocket(server, address);
  const int statusSocket = status.get();
  if (statusSocket < 0) return 1;
  ControlChannel control(server);
  control.Listen();
  if (!WritePidFile()) Log("Couldn't write %s", kPidFileName);

  auto last = std::chrono::steady_clock::now();
  int exitStatus = 0;
  for (;;) {
    if (stopSignal) {
      Log("Stopping on signal %d", static_cast<int>(stopSignal));
      break;
    }
    fd_set readSet;
    fd_set writeSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_SET(statusSocket, &readSet);
    int highest = console.FillSets(readSet, writeSet, statusSocket);
    highest = control.FillSets(readSet, highest);
    timeval wait{0, 250000};
    const int ready = select(highest + 1, &readSet, &writeSet, nullptr, &wait);
    if (ready < 0 && errno != EINTR) {
      Log("select failed: %s", std::strerror(errno));
      exitStatus = 1;
      break;
    }
    const auto now = std::chrono::steady_clock::now();
    server.game.Advance(std::chrono::duration<double>(now - last).count());
    last = now;
    if (ready > 0) {
      if (FD_ISSET(statusSocket, &readSet)) AnswerStatusQuery(server, statusSocket);
      console.Serve(readSet, writeSet);
      const int crash = control.Serve(readSet);
      if (crash >= 0) {
        Log("Crashing with status %d as ordered", crash);
        _exit(crash);
      }
    }
    SaveBanFiles(server);
    if (server.quitRequested) {
      Log("Quitting with status %d", server.quitStatus);
      exitStatus = server.quitStatus;
      break;
    }
  }
  console.Flush();
  SaveBanFiles(server);
  std::remove(kPidFileName);
  return exitStatus;
}

}  // namespace
}  // namespace gamesim

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  for (const std::string& word : words) {
    if (word == "--help" || word == "-h") {
      std::fputs(gamesim::kUsage, stdout);
      return 0;
    }
  }
  std::string error;
  const auto options = gamesim::ParseArguments(words, error);
  if (!options) {
    std::fprintf(stderr, "gamesim: %s\n%s", error.c_str(), gamesim::kUsage);
    return 2;
  }
  gamesim::InstallSignals();
  return gamesim::Run(*options);
}
