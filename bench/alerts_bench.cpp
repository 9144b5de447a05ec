// The alerts' figure: see alerts_bench.h. The targets are sockets of the
// benchmark itself: a port bound without listening (refused) and one that
// listens and never accepts (the kernel takes the request; no answer comes).
#include "alerts_bench.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "wire/protocol.h"

namespace keldor::bench {
namespace {

bool WaitUntil(const std::function<bool()>& done, double seconds) {
  const double end = NowSeconds() + seconds;
  while (!done()) {
    if (NowSeconds() >= end) return false;
    SleepMs(20);
  }
  return true;
}

// A loopback TCP socket on a port of its own, listening or not; its port in `port`.
int LoopbackSocket(bool listening, int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      (listening && listen(fd, 64) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace

struct AlertsBench::State {
  Paths paths;
  Installation installation;
  pid_t keldor = 0;
  int refusing = -1, silent = -1;
  int refusingPort = 0, silentPort = 0;
  std::unique_ptr<Client> pinger, asker;
  ~State() {
    StopProcess(keldor);
    if (!installation.root.empty()) RemoveInstallation(installation);
    if (refusing >= 0) close(refusing);
    if (silent >= 0) close(silent);
  }
  std::string Log() const {
    std::ifstream in(installation.root + "/keldor.out");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string AlertsFile() const {
    return installation.dir + "/mods/bfvietnam/settings/alerts.con";
  }
  bool Start() {
    if (!MakeInstallation(paths, 0, 0, &installation)) return false;
    refusing = LoopbackSocket(false, &refusingPort);
    silent = LoopbackSocket(true, &silentPort);
    keldor = StartKeldor(paths, installation, {});
    if (refusing < 0 || silent < 0 || keldor <= 0 ||
        !WaitUntil([&] { return Listening(installation.listenPort); }, 30)) {
      return false;
    }
    for (auto* client : {&pinger, &asker}) {
      *client = std::make_unique<Client>();
      if (!(*client)->Open(installation.listenPort, installation.facts.at("admin-user"),
                           installation.facts.at("admin-password"))) {
        return false;
      }
    }
    return true;
  }
  // Puts `target` (empty: none) in alerts.con and waits until Keldor has read it.
  bool Target(const std::string& line) {
    const std::string log = Log();
    if (line.empty()) {
      const int gone = CountOf(log, "alerts.con is gone");
      std::remove(AlertsFile().c_str());
      return WaitUntil([&] { return CountOf(Log(), "alerts.con is gone") > gone; }, 10);
    }
    const int loaded = CountOf(log, "Alert targets:");
    std::ofstream(AlertsFile()) << line << "\n";
    return WaitUntil([&] { return CountOf(Log(), "Alert targets:") > loaded; }, 10);
  }
  bool TestAlert() {
    std::string reply;
    // The reply is the number of targets as text, with its closing NUL.
    return asker->SendWord(REQ_TEST_ALERTS) && asker->AwaitTextReply(&reply) &&
           std::string(reply.c_str()) == "1";
  }
  // Round trips 30 ms apart, so that they span the retries and the 10-second limit.
  bool Pings(int count, std::vector<double>* out) {
    for (int i = 0; i < count; ++i) {
      const double t = NowSeconds();
      if (!pinger->SendWord(REQ_PING) || !pinger->AwaitNote(NOTE_PONG)) return false;
      out->push_back(NowSeconds() - t);
      SleepMs(30);
    }
    return true;
  }
};

AlertsBench::AlertsBench(const Paths& paths) : state_(std::make_unique<State>()) {
  state_->paths = paths;
}

AlertsBench::~AlertsBench() = default;

bool AlertsBench::Round(int pings, AlertSamples* out) {
  State& s = *state_;
  if (s.keldor == 0 && !s.Start()) {
    return std::fprintf(stderr, "bench: the alerts' Keldor did not start\n"), false;
  }
  const std::string address = "http://127.0.0.1:";
  const bool ok = s.Pings(pings, &out->none) &&
                  s.Target("target dead json " + address + std::to_string(s.refusingPort) + "/") &&
                  s.TestAlert() && s.Pings(pings, &out->dead) &&
                  s.Target("target hanging json " + address + std::to_string(s.silentPort) + "/") &&
                  s.TestAlert() && s.Pings(pings, &out->hanging) && s.Target("");
  if (!ok) std::fprintf(stderr, "bench: an alerts round failed\n");
  return ok;
}

}  // namespace keldor::bench
