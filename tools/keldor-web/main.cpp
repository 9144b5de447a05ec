// keldor-web: a web console for Keldor. Serves a page on 127.0.0.1 (unless
// told otherwise) through which administrators log in with their Keldor
// accounts and run the game server from a browser.
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "server.h"

namespace {

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: keldor-web [--listen ADDR:PORT] [--keldor HOST:PORT] [--idle SECONDS]\n"
               "                  [--allow-host NAME[:PORT]]... [--fleet CONNINFO]\n"
               "                  [--fleet-hosts HOST[:PORT][,...]]... [--help] [--version]\n"
               "Serves Keldor's web console. Defaults: --listen 127.0.0.1:15680,\n"
               "--keldor 127.0.0.1:15667, --idle 900. PORT 0 listens on a free port.\n"
               "--fleet adds the fleet page, read from that database; --fleet-hosts lists\n"
               "the hosts whose Keldors its pages may open a console on.\n");
}

// "host:port" or "[v6]:port"; false when it is not that.
bool SplitEndpoint(const std::string& text, std::string* host, int* port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  char* end = nullptr;
  const long value = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || colon + 1 == text.size() || value < 0 || value > 65535) return false;
  *host = text.substr(0, colon);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  *port = static_cast<int>(value);
  return true;
}

// A comma-separated list of --fleet-hosts entries; false when one is not an entry.
bool AddFleetHosts(const std::string& list, std::vector<std::string>* hosts) {
  std::size_t at = 0;
  while (at <= list.size()) {
    const std::size_t comma = std::min(list.find(',', at), list.size());
    const std::string item = list.substr(at, comma - at);
    std::string host;
    int port = 0;
    if (!keldorweb::ParseFleetHost(item, &host, &port)) return false;
    hosts->push_back(item);
    at = comma + 1;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using keldorweb::Log;
  keldorweb::Config config;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    const bool hasValue = k + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("keldor-web %s\n", KELDOR_VERSION);
      return 0;
    }
    if (arg == "--listen" && hasValue &&
        SplitEndpoint(argv[++k], &config.listenAddress, &config.listenPort)) {
      continue;
    }
    if (arg == "--keldor" && hasValue &&
        SplitEndpoint(argv[++k], &config.keldorHost, &config.keldorPort) && config.keldorPort > 0) {
      continue;
    }
    if (arg == "--idle" && hasValue) {
      const long seconds = std::strtol(argv[++k], nullptr, 10);
      if (seconds >= 10 && seconds <= 86400) {
        config.idle = std::chrono::seconds(seconds);
        continue;
      }
    }
    if (arg == "--allow-host" && hasValue) {
      config.allowHosts.emplace_back(argv[++k]);
      continue;
    }
    if (arg == "--fleet" && hasValue && *argv[k + 1] != '\0') {
      config.fleet = argv[++k];
      continue;
    }
    if (arg == "--fleet-hosts" && hasValue && AddFleetHosts(argv[++k], &config.fleetHosts)) {
      continue;
    }
    std::fprintf(stderr, "keldor-web: bad argument: %s\n", arg.c_str());
    Usage(stderr);
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  boost::asio::io_context io(1);
  keldorweb::Server server(io, config);
  std::string error;
  if (!server.Listen(&error)) {
    Log("%s", error.c_str());
    return 1;
  }
  const bool v6 = config.listenAddress.find(':') != std::string::npos;
  std::printf("keldor-web: serving http://%s%s%s:%d/ for Keldor at %s:%d\n", v6 ? "[" : "",
              config.listenAddress.c_str(), v6 ? "]" : "", server.Port(), config.keldorHost.c_str(),
              config.keldorPort);
  std::fflush(stdout);
  boost::asio::signal_set stops(io, SIGINT, SIGTERM);
  stops.async_wait([&](const boost::system::error_code&, int) {
    server.Shutdown();
    io.stop();
  });
  io.run();
  Log("stopped");
  return 0;
}
