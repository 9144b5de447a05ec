// keldor_bench: each figure beside its anchor, measured in the same run,
// several times, printed as a table of the ratio's minimum and median.
//
//   keldor_bench --build DIR [--reps N] [--idle-seconds S] [--only NAME,...]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "alerts_bench.h"
#include "bans_bench.h"
#include "fleet_bench.h"
#include "harness.h"
#include "wire/protocol.h"
#include "wire/transfer_frame.h"

namespace keldor::bench {
namespace {

struct Row {
  std::string figure;
  std::string anchor;
  std::string measured;  // the figure's own median, for reading the goal
  double ratioMin = 0;
  double ratioMedian = 0;
  std::string goal;
  std::string met;
};

std::vector<Row> g_rows;

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Min(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void AddRow(const std::string& figure, const std::string& anchor, const std::string& measured,
            const std::vector<double>& ratios, const std::string& goal, bool met) {
  g_rows.push_back({figure, anchor, measured, Min(ratios), Median(ratios), goal,
                    ratios.empty() ? "n/a" : (met ? "yes" : "no")});
  std::fprintf(stderr, "bench: %s: ratio min %.3f median %.3f (%s)\n", figure.c_str(), Min(ratios),
               Median(ratios), measured.c_str());
}

struct Config {
  Paths paths;
  int reps = 5;
  double pingSeconds = 1.0;
  int idleSeconds = 10;
  int crashReps = 2;
  int adoptedReps = 1;
  std::vector<std::string> only;
  bool Wants(const std::string& name) const {
    return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
  }
};

// --- The anchor for pings: a minimal single-threaded loopback echo server ---

pid_t StartEchoServer(int* port) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 64) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  *port = ntohs(address.sin_port);
  const pid_t pid = fork();
  if (pid != 0) {
    close(listener);
    return pid < 0 ? 0 : pid;
  }
  // One loop, one poll: 4 bytes in, the same 4 bytes out.
  std::vector<pollfd> fds = {{listener, POLLIN, 0}};
  for (;;) {
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    for (std::size_t i = fds.size(); i-- > 0;) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      if (i == 0) {
        const int client = accept(listener, nullptr, nullptr);
        if (client >= 0) fds.push_back({client, POLLIN, 0});
        continue;
      }
      char word[4];
      std::size_t got = 0;
      while (got < sizeof word) {
        const ssize_t n = recv(fds[i].fd, word + got, sizeof word - got, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
      if (got < sizeof word || send(fds[i].fd, word, sizeof word, MSG_NOSIGNAL) != 4) {
        close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
}

// --- The ping harness: N clients, one request each in flight ---

struct LoadResult {
  double perSecond = 0;
  std::vector<double> latencies;
};

// `isKeldor` parses Keldor's messages (a pong ends a round trip); otherwise each 4 bytes do.
bool DriveLoad(const std::vector<int>& sockets, bool isKeldor, double seconds, LoadResult* out) {
  const Word ping = EncodeWord(REQ_PING);
  std::vector<std::string> buffers(sockets.size());
  std::vector<double> sentAt(sockets.size());
  std::vector<pollfd> fds;
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    fds.push_back({sockets[i], POLLIN, 0});
    sentAt[i] = NowSeconds();
    if (send(sockets[i], ping.data(), ping.size(), MSG_NOSIGNAL) != 4) return false;
  }
  const double start = NowSeconds();
  const double end = start + seconds;
  std::size_t done = 0;
  while (NowSeconds() < end) {
    if (poll(fds.data(), fds.size(), 1000) <= 0) return false;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      char chunk[4096];
      const ssize_t n = recv(fds[i].fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      std::string& buffer = buffers[i];
      buffer.append(chunk, static_cast<std::size_t>(n));
      for (;;) {
        bool pong = false;
        if (isKeldor) {
          if (buffer.size() < kNoteHeaderSize) break;
          NoteHeader header{};
          std::memcpy(header.data(), buffer.data(), header.size());
          std::uint32_t code = 0, length = 0;
          DecodeNoteHeader(header, &code, &length);
          if (buffer.size() < kNoteHeaderSize + length) break;
          buffer.erase(0, kNoteHeaderSize + length);
          pong = code == NOTE_PONG;
        } else {
          if (buffer.size() < 4) break;
          buffer.erase(0, 4);
          pong = true;
        }
        if (!pong) continue;
        const double now = NowSeconds();
        out->latencies.push_back(now - sentAt[i]);
        ++done;
        sentAt[i] = now;
        if (send(fds[i].fd, ping.data(), ping.size(), MSG_NOSIGNAL) != 4) return false;
      }
    }
  }
  out->perSecond = static_cast<double>(done) / (NowSeconds() - start);
  // Drain the requests still in flight so the next round starts clean.
  for (std::size_t i = 0; i < fds.size(); ++i) {
    std::size_t need = isKeldor ? kNoteHeaderSize : 4;
    while (buffers[i].size() < need) {
      pollfd one{fds[i].fd, POLLIN, 0};
      if (poll(&one, 1, 2000) <= 0) return false;
      char chunk[256];
      const ssize_t n = recv(fds[i].fd, chunk, std::min(sizeof chunk, need - buffers[i].size()), 0);
      if (n <= 0) return false;
      buffers[i].append(chunk, static_cast<std::size_t>(n));
      if (isKeldor && buffers[i].size() == kNoteHeaderSize) {
        NoteHeader header{};
        std::memcpy(header.data(), buffers[i].data(), header.size());
        std::uint32_t code = 0, length = 0;
        DecodeNoteHeader(header, &code, &length);
        if (code != NOTE_PONG) {
          buffers[i].clear();
          std::string rest(length, '\0');
          std::size_t got = 0;
          while (got < length) {
            const ssize_t m = recv(fds[i].fd, rest.data() + got, length - got, 0);
            if (m <= 0) return false;
            got += static_cast<std::size_t>(m);
          }
        }
      }
    }
  }
  return true;
}

// A running Keldor with its game server on a fresh demo installation.
void SetSettings(const std::string& directory, const std::string& settings) {
  const std::string path = directory + "/servermanager.con";
  std::ifstream in(path);
  std::string kept;
  const auto key = [](const std::string& line) { return line.substr(0, line.find(' ')); };
  for (std::string line; std::getline(in, line);) {
    if (settings.find("\n" + key(line) + " ") == std::string::npos &&
        !settings.starts_with(key(line) + " ")) {
      kept += line + "\n";
    }
  }
  std::ofstream(path) << kept << settings;
}

struct RunningKeldor {
  Installation installation;
  pid_t keldor = 0;
  const Config* config = nullptr;
  ~RunningKeldor() {
    if (keldor > 0) StopProcess(keldor);
    if (config != nullptr && !installation.root.empty()) {
      StopGameServer(config->paths, installation);
      RemoveInstallation(installation);
    }
  }
  // The lines of `settings` take the place of servermanager.con's lines of the
  // same keys (the first line of a key counts) before Keldor starts.
  bool Start(const Config& c, const std::vector<std::string>& words, bool waitConsole,
             const std::string& settings = "") {
    config = &c;
    if (!MakeInstallation(c.paths, 0, 0, &installation)) return false;
    if (!settings.empty()) SetSettings(installation.dir + "/mods/bfvietnam/settings", settings);
    keldor = StartKeldor(c.paths, installation, words);
    const double deadline = NowSeconds() + 30;
    while (NowSeconds() < deadline) {
      if (Listening(installation.listenPort) &&
          (!waitConsole || Connected(installation.consolePort))) {
        return true;
      }
      SleepMs(5);
    }
    return false;
  }
  std::unique_ptr<Client> Login() const {
    auto client = std::make_unique<Client>();
    if (!client->Open(installation.listenPort, installation.facts.at("admin-user"),
                      installation.facts.at("admin-password"))) {
      return nullptr;
    }
    return client;
  }
};

void BenchPings(const Config& c) {
  RunningKeldor k;
  if (!k.Start(c, {"-start"}, true))
    return std::fprintf(stderr, "bench: keldor did not start\n"), void();
  int echoPort = 0;
  const pid_t echo = StartEchoServer(&echoPort);
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<int> keldorSockets, echoSockets;
  std::vector<int> echoOwned;
  for (int i = 0; i < 16; ++i) {
    auto client = k.Login();
    if (!client) break;
    keldorSockets.push_back(client->Socket());
    clients.push_back(std::move(client));
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(echoPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      echoSockets.push_back(fd);
    }
  }
  std::vector<double> throughput, p99, p50;
  std::vector<double> keldorRate, keldorP50, keldorP99, echoP99;  // each round's
  if (keldorSockets.size() == 16 && echoSockets.size() == 16) {
    for (int r = 0; r < c.reps; ++r) {
      LoadResult mine, anchor;
      if (!DriveLoad(echoSockets, false, c.pingSeconds, &anchor) ||
          !DriveLoad(keldorSockets, true, c.pingSeconds, &mine)) {
        std::fprintf(stderr, "bench: the ping load broke off\n");
        break;
      }
      throughput.push_back(mine.perSecond / anchor.perSecond);
      p50.push_back(Percentile(mine.latencies, 0.5) / Percentile(anchor.latencies, 0.5));
      p99.push_back(Percentile(mine.latencies, 0.99) / Percentile(anchor.latencies, 0.99));
      keldorRate.push_back(mine.perSecond);
      keldorP50.push_back(Percentile(mine.latencies, 0.5));
      keldorP99.push_back(Percentile(mine.latencies, 0.99));
      echoP99.push_back(Percentile(anchor.latencies, 0.99));
    }
  } else {
    std::fprintf(stderr, "bench: only %zu clients logged in\n", keldorSockets.size());
  }
  for (const int fd : echoSockets) close(fd);
  StopProcess(echo, 1000);
  AddRow("Pings/s, 16 clients", "echo server, same harness", Format("%.0f/s", Median(keldorRate)),
         throughput, "≥ 0.8×", Median(throughput) >= 0.8);
  AddRow("Ping p50 latency, 16 clients", "echo server p50",
         Format("%.3f ms", Median(keldorP50) * 1000), p50, "—", true);
  g_rows.back().met = "—";
  AddRow("Ping p99 latency, 16 clients", "echo server p99",
         Format("%.3f ms", Median(keldorP99) * 1000) +
             Format(" (echo %.3f ms)", Median(echoP99) * 1000),
         p99, "≤ 1.5×", Median(p99) <= 1.5);
}

// One request and its answer, timed into `times`; false when the exchange broke off.
bool TimePing(Client& client, std::vector<double>& times) {
  const double t = NowSeconds();
  if (!client.SendWord(REQ_PING) || !client.AwaitNote(NOTE_PONG)) return false;
  times.push_back(NowSeconds() - t);
  return true;
}

bool TimeStatus(Client& client, std::vector<double>& times) {
  const double t = NowSeconds();
  std::string text;
  if (!client.SendWord(REQ_GET_STATUS) || !client.AwaitTextReply(&text)) return false;
  times.push_back(NowSeconds() - t);
  return true;
}

void BenchStatus(const Config& c) {
  RunningKeldor k;
  if (!k.Start(c, {"-start"}, true)) return;
  auto client = k.Login();
  if (!client) return;
  std::vector<double> ratios, ratiosWithQuery;
  std::vector<double> statusMedians;
  for (int r = 0; r < c.reps; ++r) {
    std::vector<double> pings, queries, statuses;
    for (int i = 0; i < 10; ++i) {
      if (!TimePing(*client, pings)) return;
      const double t = NowSeconds();
      if (!QueryGameStatus(k.installation.queryPort)) return;
      queries.push_back(NowSeconds() - t);
      if (!TimeStatus(*client, statuses)) return;
    }
    ratios.push_back(Median(statuses) / Median(pings));
    ratiosWithQuery.push_back(Median(statuses) / (Median(pings) + Median(queries)));
    statusMedians.push_back(Median(statuses));
  }
  AddRow("Status round trip", "ping round trip", Format("%.2f ms", Median(statusMedians) * 1000),
         ratios, "≤ 3×", Median(ratios) <= 3);
  // Every status request asks the game for its status: that query is part of
  // the answer and not Keldor's to speed up.
  AddRow("Status round trip", "ping + the game's own status query",
         Format("%.2f ms", Median(statusMedians) * 1000), ratiosWithQuery, "—", true);
  g_rows.back().met = "—";
}

int ProcessCount() {
  int count = 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename();
    if (!name.empty() &&
        std::all_of(name.begin(), name.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
      ++count;
    }
  }
  return count;
}

// With no game server known, a status request looks through the whole process
// table for one of ours: its cost grows with the machine's processes.
void BenchStatusStopped(const Config& c) {
  RunningKeldor k;
  if (!k.Start(c, {}, false)) return;
  auto client = k.Login();
  if (!client) return;
  std::vector<double> ratios, statusMedians;
  for (int r = 0; r < c.reps; ++r) {
    std::vector<double> pings, statuses;
    for (int i = 0; i < 20; ++i) {
      if (!TimePing(*client, pings) || !TimeStatus(*client, statuses)) return;
    }
    ratios.push_back(Median(statuses) / Median(pings));
    statusMedians.push_back(Median(statuses));
  }
  AddRow("Status round trip, no game server", "ping round trip",
         Format("%.2f ms", Median(statusMedians) * 1000) +
             Format(" (%.0f processes)", static_cast<double>(ProcessCount())),
         ratios, "—", true);
  g_rows.back().met = "—";
}

// A plain connection to Keldor's port; -1 when it fails.
int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

// Ping round trips of one client, in seconds.
std::vector<double> PingTimes(Client& client, int count) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const double t = NowSeconds();
    if (!client.SendWord(REQ_PING) || !client.AwaitNote(NOTE_PONG)) break;
    times.push_back(NowSeconds() - t);
  }
  return times;
}

// 8 MiB of random bytes (which hardly compress) as the announcements file, for
// a download that costs the compressor the most.
void PutRandomAnnouncements(const RunningKeldor& k) {
  std::string big(8 * 1024 * 1024, '\0');
  unsigned seed = 11;
  for (char& ch : big) ch = static_cast<char>(rand_r(&seed));
  std::ofstream(k.installation.dir + "/mods/bfvietnam/settings/announcements.con") << big;
}

// Clients that would stall a loop that waits on them: logins sent a byte at a
// time, silent connections, an upload and a request that stop half-way, a
// download that is never read. Each round opens a fresh set (they end at their
// deadlines) and pings beside them.
void BenchHostile(const Config& c) {
  RunningKeldor k;
  if (!k.Start(c, {}, false)) return;
  PutRandomAnnouncements(k);
  auto admin = k.Login();
  if (!admin) return;
  std::vector<double> p50, p99, quiet50, hostile50;
  for (int r = 0; r < c.reps; ++r) {
    const std::vector<double> calm = PingTimes(*admin, 200);
    std::vector<int> fds;
    std::vector<std::unique_ptr<Client>> loggedIn;
    // Logged in first: the unfinished logins below take every login place there is.
    for (int i = 0; i < 3; ++i) loggedIn.push_back(k.Login());
    for (int i = 0; i < 4; ++i) fds.push_back(Connect(k.installation.listenPort));  // trickle
    for (int i = 0; i < 4; ++i) fds.push_back(Connect(k.installation.listenPort));  // silent
    if (fds.back() < 0 || !loggedIn.back()) return;
    std::string half;
    EncodeTransfer(std::string(100000, 'x'), &half);
    const std::uint32_t put = REQ_PUT_ANNOUNCEMENTS, say = REQ_SAY_ALL, get = REQ_GET_ANNOUNCEMENTS;
    loggedIn[0]->SendWord(put);
    loggedIn[0]->Send(half.data(), half.size() / 2);
    loggedIn[1]->SendWord(say);
    loggedIn[1]->Send("\x64\0\0\0ten bytes.", 14);
    const int small = 4096;
    setsockopt(loggedIn[2]->Socket(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    loggedIn[2]->SendWord(get);
    std::vector<double> rough;
    for (int step = 0; step < 4; ++step) {
      for (int i = 0; i < 4; ++i) send(fds[i], "x", 1, MSG_NOSIGNAL);
      const std::vector<double> some = PingTimes(*admin, 50);
      rough.insert(rough.end(), some.begin(), some.end());
    }
    for (const int fd : fds) close(fd);
    if (rough.empty() || calm.empty()) return;
    p50.push_back(Percentile(rough, 0.5) / Percentile(calm, 0.5));
    p99.push_back(Percentile(rough, 0.99) / Percentile(calm, 0.99));
    quiet50.push_back(Percentile(calm, 0.5));
    hostile50.push_back(Percentile(rough, 0.5));
  }
  AddRow("Ping p50 latency beside 11 hostile clients", "the same client's p50 with none",
         Format("%.3f ms", Median(hostile50) * 1000) +
             Format(" (none %.3f ms)", Median(quiet50) * 1000),
         p50, "≈ 1×", Median(p50) <= 1.5);
  AddRow("Ping p99 latency beside 11 hostile clients", "the same client's p99 with none",
         "see ratio", p99, "≤ 2×", Median(p99) <= 2);
}

// The slowest of `count` ping round trips, in seconds, with `between` run after
// each; 0 when the exchange broke off.
double WorstPing(Client& client, int count, const std::function<void()>& between) {
  double worst = 0;
  for (int i = 0; i < count; ++i) {
    const double t = NowSeconds();
    if (!client.SendWord(REQ_PING) || !client.AwaitNote(NOTE_PONG)) return 0;
    worst = std::max(worst, NowSeconds() - t);
    between();
  }
  return worst;
}

// Another client's slowest ping while an 8 MiB download (random bytes, as above)
// is never read, read 1 KiB between two pings, or read as fast as it comes,
// beside its slowest ping with none, in the same round. The request goes just
// before the first ping, so the pass that prepares the download is timed too;
// each reader is given a quiet second and a half after it has gone, so that
// the memory of its download has gone back before the next one is measured.
void BenchDownloadReaders(const Config& c) {
  RunningKeldor k;
  if (!k.Start(c, {}, false)) return;
  PutRandomAnnouncements(k);
  auto admin = k.Login();
  if (!admin) return;
  enum Reader { kUnread, kSlow, kFast, kReaders };
  const char* names[kReaders] = {"an unread", "a slowly read", "a fully read"};
  std::vector<double> ratios[kReaders], worst[kReaders], calmWorst;
  for (int r = 0; r < c.reps; ++r) {
    const double calm = WorstPing(*admin, 200, [] {});
    if (calm <= 0) return;
    calmWorst.push_back(calm);
    for (int kind = 0; kind < kReaders; ++kind) {
      auto reader = k.Login();
      if (!reader) return;
      const int fd = reader->Socket();
      const int small = 4096;
      if (kind != kFast) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
      if (!reader->SendWord(REQ_GET_ANNOUNCEMENTS)) return;
      std::vector<char> chunk(kind == kFast ? 1 << 20 : 1024);
      const auto take = [&] {
        if (kind == kUnread) return;
        while (recv(fd, chunk.data(), chunk.size(), MSG_DONTWAIT) > 0 && kind == kFast) {
        }
      };
      const double slowest = WorstPing(*admin, 200, take);
      if (slowest <= 0) return std::fprintf(stderr, "bench: a ping failed\n"), void();
      worst[kind].push_back(slowest);
      ratios[kind].push_back(slowest / calm);
      reader.reset();
      SleepMs(1500);
    }
  }
  for (int kind = 0; kind < kReaders; ++kind) {
    AddRow(std::string("Worst ping beside ") + names[kind] + " 8 MiB download",
           "the same client's worst ping with none",
           Format("%.2f ms", Median(worst[kind]) * 1000) +
               Format(" (none %.2f ms)", Median(calmWorst) * 1000),
           ratios[kind], kind == kFast ? "—" : "≤ 2×", Median(ratios[kind]) <= 2);
    if (kind == kFast) g_rows.back().met = "—";
  }
}

// Log-like text: what a big settings or log file looks like.
std::string TextOf(std::size_t size) {
  std::string text;
  text.reserve(size + 128);
  for (unsigned i = 0; text.size() < size; ++i) {
    text += "[2026-12-06 15:" + std::to_string(10 + i % 50) + ":" + std::to_string(10 + i % 47) +
            "] Player_" + std::to_string(i * 2654435761U % 997) + " scored " +
            std::to_string(i % 113) + " points on map " + std::to_string(i % 31) + "\n";
  }
  text.resize(size);
  return text;
}

void BenchTransfer(const Config& c) {
  RunningKeldor k;
  if (!k.Start(c, {}, false)) return;
  auto client = k.Login();
  if (!client) return;
  const std::string content = TextOf(8U << 20);
  const std::string file = k.installation.dir + "/mods/bfvietnam/settings/announcements.con";
  std::ofstream(file, std::ios::binary) << content;
  std::vector<double> down, up;
  std::vector<double> downTimes, upTimes;
  for (int r = 0; r < c.reps; ++r) {
    double t = NowSeconds();
    std::string message;
    if (!EncodeTransfer(content, &message)) return;
    const double anchor = NowSeconds() - t;

    t = NowSeconds();
    std::string packed;
    std::uint32_t header[3] = {};
    if (!client->SendWord(REQ_GET_ANNOUNCEMENTS) || !client->ReadTransfer(&packed, header)) {
      std::fprintf(stderr, "bench: the download failed\n");
      return;
    }
    const double downSeconds = NowSeconds() - t;
    downTimes.push_back(downSeconds);
    std::string received;
    TransferHeader h{header[0], header[1], header[2]};
    if (DecodeTransfer(h, packed, &received) != 0 || received != content) {
      std::fprintf(stderr, "bench: the download arrived different\n");
      return;
    }
    down.push_back(anchor / downSeconds);

    t = NowSeconds();
    if (!client->SendWord(REQ_PUT_ANNOUNCEMENTS) || !client->Send(message.data(), message.size()) ||
        !client->SendWord(REQ_PING) || !client->AwaitNote(NOTE_PONG, 60)) {
      std::fprintf(stderr, "bench: the upload failed\n");
      return;
    }
    const double upSeconds = NowSeconds() - t;
    upTimes.push_back(upSeconds);
    up.push_back(anchor / upSeconds);
  }
  AddRow("8 MiB text download (speed)", "LZO1X-1 + Adler-32 in process",
         Format("%.1f ms", Median(downTimes) * 1000), down, "≥ 0.8×", Median(down) >= 0.8);
  AddRow("8 MiB text upload (speed)", "LZO1X-1 + Adler-32 in process",
         Format("%.1f ms", Median(upTimes) * 1000), up, "≥ 0.6×", Median(up) >= 0.6);
}

// Resident memory of a Keldor that 16 clients have left, beside its own idle
// figure: each client sends a 16 MiB upload but its last byte and disconnects;
// then 16 clients each complete one (16 MiB of text). Every round repeats both
// on the same Keldor, so that memory kept from one burst shows in the next.
void BenchMemory(const Config& c) {
  constexpr int kClients = 16;
  RunningKeldor k;
  if (!k.Start(c, {}, false)) return std::fprintf(stderr, "bench: keldor did not start\n"), void();
  // A fresh login answered: the loop has seen every earlier close by then; the
  // memory of the transfers goes back at its first pass after a quiet second.
  const auto settle = [&k] {
    auto client = k.Login();
    if (!client || !client->SendWord(REQ_PING) || !client->AwaitNote(NOTE_PONG)) {
      std::fprintf(stderr, "bench: keldor did not answer\n");
    }
    client.reset();
    SleepMs(4500);  // its quiet second, then a pass (passes are at most 3 s apart)
  };
  settle();
  const long idle = StatusKiB(k.keldor);
  std::string header;
  for (const std::uint32_t word : {REQ_PUT_ANNOUNCEMENTS, kTransferMax, kTransferMax, 1U}) {
    const Word bytes = EncodeWord(word);
    header.append(bytes.begin(), bytes.end());
  }
  const std::string junk(kTransferMax - 1, 'z');
  std::string message;
  if (!EncodeTransfer(TextOf(kTransferMax), &message)) return;
  const Word put = EncodeWord(REQ_PUT_ANNOUNCEMENTS);
  message.insert(message.begin(), put.begin(), put.end());
  std::vector<double> abandoned, completed, abandonedKiB, completedKiB;
  for (int r = 0; r < c.reps; ++r) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.push_back(k.Login());
      if (!clients.back() || !clients.back()->Send(header.data(), header.size()) ||
          !clients.back()->Send(junk.data(), junk.size())) {
        return std::fprintf(stderr, "bench: an abandoned upload failed\n"), void();
      }
    }
    clients.clear();
    settle();
    abandonedKiB.push_back(static_cast<double>(StatusKiB(k.keldor)));
    abandoned.push_back(abandonedKiB.back() / static_cast<double>(idle));
    for (int i = 0; i < kClients; ++i) {
      clients.push_back(k.Login());
      if (!clients.back() || !clients.back()->Send(message.data(), message.size()) ||
          !clients.back()->SendWord(REQ_PING) || !clients.back()->AwaitNote(NOTE_PONG, 60)) {
        return std::fprintf(stderr, "bench: an upload failed\n"), void();
      }
    }
    clients.clear();
    settle();
    completedKiB.push_back(static_cast<double>(StatusKiB(k.keldor)));
    completed.push_back(completedKiB.back() / static_cast<double>(idle));
  }
  const double goal = static_cast<double>(idle) + 2048;
  const std::string peak =
      Format(", peak %.0f KiB", static_cast<double>(StatusKiB(k.keldor, "VmHWM")));
  AddRow("Resident after 16 abandoned 16 MiB uploads", "idle resident, same Keldor",
         Format("%.0f KiB", Median(abandonedKiB)) +
             Format(" (idle %.0f KiB", static_cast<double>(idle)) + peak + ")",
         abandoned, "≤ idle + 2 MiB", Median(abandonedKiB) <= goal);
  AddRow("Resident after 16 completed 16 MiB uploads", "idle resident, same Keldor",
         Format("%.0f KiB", Median(completedKiB)), completed, "≤ idle + 2 MiB",
         Median(completedKiB) <= goal);
}

// Start-up to listening, in seconds; negative when it did not listen within 30 s.
double StartUp(const Config& c, const Installation& installation) {
  const double t = NowSeconds();
  const pid_t pid = StartKeldor(c.paths, installation, {});
  double took = -1;
  while (NowSeconds() - t < 30) {
    if (Listening(installation.listenPort)) {
      took = NowSeconds() - t;
      break;
    }
    usleep(500);
  }
  StopProcess(pid);
  return took;
}

void BenchStartUp(const Config& c) {
  Installation demo, half, big;
  if (!MakeInstallation(c.paths, 0, 0, &demo) || !MakeInstallation(c.paths, 10, 100, &half) ||
      !MakeInstallation(c.paths, 20, 100, &big)) {
    std::fprintf(stderr, "bench: mkinstall failed\n");
    return;
  }
  std::vector<double> ratios, halfRatios, bigTimes, halfTimes;
  for (int r = 0; r < c.reps; ++r) {
    const double d = StartUp(c, demo);
    const double h = StartUp(c, half);
    const double b = StartUp(c, big);
    if (d <= 0 || h <= 0 || b <= 0) break;
    ratios.push_back(b / d);
    halfRatios.push_back(h / d);
    bigTimes.push_back(b);
    halfTimes.push_back(h);
  }
  AddRow("Start-up to listening, 10 mods × 100 maps", "start-up, demo installation",
         Format("%.3f s", Median(halfTimes)), halfRatios, "< 0.1 s", Median(halfTimes) < 0.1);
  AddRow("Start-up to listening, 20 mods × 100 maps", "start-up, demo installation",
         Format("%.3f s", Median(bigTimes)), ratios, "< 0.1 s, linear", Median(bigTimes) < 0.1);
  for (const Installation* i : {&demo, &half, &big}) RemoveInstallation(*i);
}

struct CrashTimes {
  double running = -1;    // exit to the new server process
  double listening = -1;  // exit to its console listening
  double connected = -1;  // exit to Keldor's console connected again
};

CrashTimes Crash(const Installation& installation, double limit) {
  CrashTimes times;
  const pid_t old = FindGameServer(installation);
  if (old <= 0) return times;
  const double t = NowSeconds();
  kill(old, SIGKILL);
  while (NowSeconds() - t < limit) {
    const double now = NowSeconds() - t;
    if (times.running < 0) {
      const pid_t found = FindGameServer(installation);
      if (found > 0 && found != old) times.running = now;
    }
    if (times.running >= 0 && times.listening < 0 && Listening(installation.consolePort)) {
      times.listening = now;
    }
    if (times.listening >= 0 && Connected(installation.consolePort)) {
      times.connected = now;
      break;
    }
    usleep(500);
  }
  return times;
}

void CrashRows(const std::string& who, const std::vector<CrashTimes>& runs) {
  std::vector<double> running, reconnect, ratioRun, ratioConnect;
  for (const CrashTimes& t : runs) {
    if (t.connected < 0) continue;
    const double startUp = t.listening - t.running;  // the server's own start-up
    running.push_back(t.running);
    reconnect.push_back(t.connected - t.listening);
    ratioRun.push_back(t.running / startUp);
    ratioConnect.push_back((t.connected - t.listening) / startUp);
  }
  if (running.size() < runs.size()) {
    std::fprintf(stderr, "bench: %zu of %zu crashes of %s were not recovered in time\n",
                 runs.size() - running.size(), runs.size(), who.c_str());
  }
  AddRow("Crash to server running (" + who + ")", "game server's own start-up",
         Format("%.3f s", Median(running)), ratioRun, "< 0.1 s",
         !running.empty() && Median(running) < 0.1);
  AddRow("Server listening to console connected (" + who + ")", "game server's own start-up",
         Format("%.3f s", Median(reconnect)), ratioConnect, "< 1 s",
         !reconnect.empty() && Median(reconnect) < 1);
}

void BenchCrash(const Config& c) {
  std::vector<CrashTimes> child;
  for (int r = 0; r < c.crashReps; ++r) {
    RunningKeldor k;
    if (!k.Start(c, {"-start", "-restart"}, true)) break;
    SleepMs(500);
    child.push_back(Crash(k.installation, 20));
  }
  CrashRows("child", child);

  std::vector<CrashTimes> adopted;
  for (int r = 0; r < c.adoptedReps; ++r) {
    RunningKeldor k;
    if (!k.Start(c, {"-start"}, true)) break;
    StopProcess(k.keldor);
    k.keldor = StartKeldor(c.paths, k.installation, {"-restart"});
    const double deadline = NowSeconds() + 30;
    while (NowSeconds() < deadline && !Connected(k.installation.consolePort)) SleepMs(5);
    SleepMs(500);
    adopted.push_back(Crash(k.installation, 45));
  }
  CrashRows("adopted", adopted);
}

void BenchIdle(const Config& c) {
  RunningKeldor k;
  if (!k.Start(c, {"-start"}, true)) return;
  SleepMs(2000);
  const double cpu0 = CpuSeconds(k.keldor);
  const long private0 = PrivateKiB(k.keldor);
  const long dirty0 = PrivateKiB(k.keldor, true);
  const int fds0 = Descriptors(k.keldor);
  const double t = NowSeconds();
  SleepMs(c.idleSeconds * 1000);
  const double seconds = NowSeconds() - t;
  const double cpu1 = CpuSeconds(k.keldor);
  const long private1 = PrivateKiB(k.keldor);
  const long dirty1 = PrivateKiB(k.keldor, true);
  const int fds1 = Descriptors(k.keldor);
  const double cpu = 100.0 * (cpu1 - cpu0) / seconds;
  const std::string over = " over " + std::to_string(c.idleSeconds) + " s";
  AddRow("Idle CPU with a running server" + over, "—", Format("%.4f %%", cpu), {}, "< 0.01 %",
         cpu < 0.01);
  g_rows.back().met = cpu < 0.01 ? "yes" : "no";
  AddRow("Idle private memory" + over, "—",
         std::to_string(private0) + " → " + std::to_string(private1) + " KiB", {},
         "< 1 MiB, no growth", true);
  g_rows.back().met = private1 < 1024 && private1 <= private0 ? "yes" : "no";
  AddRow("Idle private dirty memory" + over, "—",
         std::to_string(dirty0) + " → " + std::to_string(dirty1) + " KiB", {}, "< 1 MiB, no growth",
         true);
  g_rows.back().met = dirty1 < 1024 && dirty1 <= dirty0 ? "yes" : "no";
  AddRow("Idle descriptors" + over, "—", std::to_string(fds0) + " → " + std::to_string(fds1), {},
         "no growth", true);
  g_rows.back().met = fds1 <= fds0 ? "yes" : "no";
}

// Expiry and verification at 100,000 entries beside plain passes over the same
// files, and beside themselves at 50,000: linear time doubles, quadratic quadruples.
void BenchBans(const Config& c) {
  std::vector<double> expire, verify, expireGrowth, verifyGrowth, expireTimes, verifyTimes;
  for (int r = 0; r < c.reps; ++r) {
    BanFigures full, half;
    if (!MeasureBans(50000, &half) || !MeasureBans(100000, &full)) {
      std::fprintf(stderr, "bench: the ban list scans failed\n");
      return;
    }
    expireTimes.push_back(full.expire);
    verifyTimes.push_back(full.verify);
    expire.push_back(full.expire / full.expireAnchor);
    verify.push_back(full.verify / full.verifyAnchor);
    expireGrowth.push_back(full.expire / half.expire);
    verifyGrowth.push_back(full.verify / half.verify);
  }
  const std::string files = "serverbanlist.con and banlist.con";
  AddRow("Timed-ban expiry, 100,000 bans, 10,000 ended", "read + write of " + files,
         Format("%.0f ms", Median(expireTimes) * 1000), expire, "≤ 10×", Median(expire) <= 10);
  AddRow("Timed-ban expiry, 100,000 vs 50,000 bans", "the same at 50,000",
         Format("%.0f ms", Median(expireTimes) * 1000), expireGrowth, "≤ 2.5× (linear)",
         Median(expireGrowth) <= 2.5);
  AddRow("Ban list verification, 100,000 bans", "read of " + files,
         Format("%.0f ms", Median(verifyTimes) * 1000), verify, "≤ 10×", Median(verify) <= 10);
  AddRow("Ban list verification, 100,000 vs 50,000 bans", "the same at 50,000",
         Format("%.0f ms", Median(verifyTimes) * 1000), verifyGrowth, "≤ 2.5× (linear)",
         Median(verifyGrowth) <= 2.5);
}

// CPU that Keldor spends per crash-watch period (10 s) with 64 players on the
// server, with the policing rules on and with them off: the difference is the
// policing pass (its own rebuild of the player table and the rules). Nobody
// breaks a rule, so the table stays at 64 players.
void BenchPolicing(const Config& c) {
  constexpr int kPeriods = 6;
  const std::string off = "manager.monitorTimerPeriod 10\nmanager.autoKickWord 0\n";
  const std::string rules =
      "manager.monitorTimerPeriod 10\nmanager.autoKickWord 1\nmanager.autoKickScore 1\n"
      "manager.autoKickScoreValue 25\nmanager.autoKickPing 1\nmanager.autoKickPingValue 500\n";
  double perPeriod[2] = {0, 0};
  for (int on = 0; on < 2; ++on) {
    RunningKeldor k;
    if (!k.Start(c, {"-start", "+maxPlayers", "64", "+simPlayers", "64"}, true, on ? rules : off)) {
      return std::fprintf(stderr, "bench: keldor did not start\n"), void();
    }
    SleepMs(5000);  // the first passes and the console's login
    const double cpu0 = CpuSeconds(k.keldor);
    SleepMs(kPeriods * 10 * 1000);
    perPeriod[on] = (CpuSeconds(k.keldor) - cpu0) / kPeriods;
  }
  const double pass = perPeriod[1] - perPeriod[0];
  AddRow("Policing pass, 64 players (CPU)", "a 10-s period without policing (refresh, polls)",
         Format("%.2f ms", pass * 1000), {perPeriod[1] / perPeriod[0]}, "—", true);
  g_rows.back().met = "—";
}

// The fleet on a throwaway cluster: a ban's way from one Keldor to the kick on
// another beside a bare NOTIFY round trip; a new Keldor catching up on 100,000
// bans beside one query reading them; pings with the database stopped or
// frozen beside pings with it up.
void BenchFleet(const Config& c) {
  constexpr int kBans = 16, kCatchUp = 100000, kPings = 200;
  FleetBench fleet(c.paths);
  std::vector<double> p50, p99, banP50, banP99, notifyP50, committed, committedP50;
  for (int r = 0; r < c.reps; ++r) {
    Samples s;
    if (!fleet.BanRound(kBans, &s)) break;
    committed.push_back(Percentile(s.committed, 0.5) / Percentile(s.anchor, 0.5));
    committedP50.push_back(Percentile(s.committed, 0.5));
    p50.push_back(Percentile(s.figure, 0.5) / Percentile(s.anchor, 0.5));
    p99.push_back(Percentile(s.figure, 0.99) / Percentile(s.anchor, 0.99));
    banP50.push_back(Percentile(s.figure, 0.5));
    banP99.push_back(Percentile(s.figure, 0.99));
    notifyP50.push_back(Percentile(s.anchor, 0.5));
  }
  AddRow("Fleet ban, Keldor A to the kick on B, p50", "bare NOTIFY round trip p50",
         Format("%.2f ms", Median(banP50) * 1000) +
             Format(" (NOTIFY %.3f ms)", Median(notifyP50) * 1000),
         p50, "≤ 3×", Median(p50) <= 3);
  AddRow("Fleet ban, Keldor A to the kick on B, p99", "bare NOTIFY round trip p99",
         Format("%.2f ms", Median(banP99) * 1000), p99, "≤ 3×", Median(p99) <= 3);
  AddRow("Fleet ban, request on A to its row committed, p50", "bare NOTIFY round trip p50",
         Format("%.2f ms", Median(committedP50) * 1000), committed, "—", true);
  g_rows.back().met = "—";

  std::vector<double> catchUp, caughtUp, joined, query;
  for (int r = 0; r < c.reps; ++r) {
    CatchUp figures;
    if (!fleet.CatchUpRound(kCatchUp, &figures)) break;
    catchUp.push_back(figures.caughtUp / figures.anchor);
    caughtUp.push_back(figures.caughtUp);
    joined.push_back(figures.joined);
    query.push_back(figures.anchor);
  }
  AddRow("Catch-up on 100,000 fleet bans, new Keldor", "one query reading the same rows",
         Format("%.2f s", Median(caughtUp)) + Format(" (joined %.3f s,", Median(joined)) +
             Format(" query %.3f s)", Median(query)),
         catchUp, "≤ 3×", Median(catchUp) <= 3);

  for (const bool hung : {false, true}) {
    std::vector<double> ratio50, ratio99, away50, up50;
    for (int r = 0; r < c.reps; ++r) {
      Samples s;
      if (!fleet.OutageRound(kPings, hung, &s)) break;
      ratio50.push_back(Percentile(s.figure, 0.5) / Percentile(s.anchor, 0.5));
      ratio99.push_back(Percentile(s.figure, 0.99) / Percentile(s.anchor, 0.99));
      away50.push_back(Percentile(s.figure, 0.5));
      up50.push_back(Percentile(s.anchor, 0.5));
    }
    const std::string state = hung ? "frozen" : "stopped";
    AddRow("Ping p50 with the fleet database " + state, "the same client's p50 with it up",
           Format("%.3f ms", Median(away50) * 1000) + Format(" (up %.3f ms)", Median(up50) * 1000),
           ratio50, "≈ 1×", Median(ratio50) <= 1.5);
    AddRow("Ping p99 with the fleet database " + state, "the same client's p99 with it up",
           "see ratio", ratio99, "≈ 1×", Median(ratio99) <= 1.5);
  }
}

void BenchAlerts(const Config& c) {
  constexpr int kPings = 200;
  AlertsBench alerts(c.paths);
  struct Case {
    const char* name;
    std::vector<double> AlertSamples::*samples;
    std::vector<double> ratio50, ratio99, figure50, anchor50;
  };
  Case cases[] = {{"dead (refused)", &AlertSamples::dead, {}, {}, {}, {}},
                  {"hanging (no answer)", &AlertSamples::hanging, {}, {}, {}, {}}};
  for (int r = 0; r < c.reps; ++r) {
    AlertSamples s;
    if (!alerts.Round(kPings, &s)) break;
    for (Case& k : cases) {
      const std::vector<double>& figure = s.*k.samples;
      k.ratio50.push_back(Percentile(figure, 0.5) / Percentile(s.none, 0.5));
      k.ratio99.push_back(Percentile(figure, 0.99) / Percentile(s.none, 0.99));
      k.figure50.push_back(Percentile(figure, 0.5));
      k.anchor50.push_back(Percentile(s.none, 0.5));
    }
  }
  for (const Case& k : cases) {
    AddRow(std::string("Ping p50 with the alert target ") + k.name,
           "the same client's p50 with no target",
           Format("%.3f ms", Median(k.figure50) * 1000) +
               Format(" (none %.3f ms)", Median(k.anchor50) * 1000),
           k.ratio50, "≈ 1×", Median(k.ratio50) <= 1.5);
    AddRow(std::string("Ping p99 with the alert target ") + k.name,
           "the same client's p99 with no target", "see ratio", k.ratio99, "≈ 1×",
           Median(k.ratio99) <= 1.5);
  }
}

void PrintTable() {
  std::printf("| Figure | Anchor | Figure (median) | Ratio min | Ratio median | Goal | Met? |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const Row& row : g_rows) {
    const bool ratios = row.ratioMedian > 0;
    std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", row.figure.c_str(), row.anchor.c_str(),
                row.measured.c_str(), ratios ? Format("%.3f", row.ratioMin).c_str() : "—",
                ratios ? Format("%.3f", row.ratioMedian).c_str() : "—", row.goal.c_str(),
                row.met.c_str());
  }
}

int Usage() {
  std::fprintf(stderr,
               "Usage: keldor_bench --build DIR [--reps N] [--idle-seconds S] [--crash-reps N]\n"
               "                    [--adopted-reps N] [--only pings,status,hostile,transfer,"
               "memory,startup,crash,idle,bans,policing,fleet,alerts]\n");
  return 2;
}

}  // namespace
}  // namespace keldor::bench

int main(int argc, char** argv) {
  using namespace keldor::bench;
  signal(SIGPIPE, SIG_IGN);
  Config c;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (word == "--build") {
      c.paths.build = value;
    } else if (word == "--reps") {
      c.reps = std::max(1, std::atoi(value.c_str()));
    } else if (word == "--idle-seconds") {
      c.idleSeconds = std::max(1, std::atoi(value.c_str()));
    } else if (word == "--crash-reps") {
      c.crashReps = std::max(0, std::atoi(value.c_str()));
    } else if (word == "--adopted-reps") {
      c.adoptedReps = std::max(0, std::atoi(value.c_str()));
    } else if (word == "--only") {
      for (std::size_t start = 0; start <= value.size();) {
        const std::size_t comma = std::min(value.find(',', start), value.size());
        c.only.push_back(value.substr(start, comma - start));
        start = comma + 1;
      }
    } else {
      return Usage();
    }
  }
  if (c.paths.build.empty()) return Usage();
  if (c.Wants("pings")) BenchPings(c);
  if (c.Wants("status")) {
    BenchStatus(c);
    BenchStatusStopped(c);
  }
  if (c.Wants("hostile")) {
    BenchHostile(c);
    BenchDownloadReaders(c);
  }
  if (c.Wants("transfer")) BenchTransfer(c);
  if (c.Wants("memory")) BenchMemory(c);
  if (c.Wants("startup")) BenchStartUp(c);
  if (c.Wants("crash")) BenchCrash(c);
  if (c.Wants("idle")) BenchIdle(c);
  if (c.Wants("bans")) BenchBans(c);
  if (c.Wants("policing")) BenchPolicing(c);
  if (c.Wants("fleet")) BenchFleet(c);
  if (c.Wants("alerts")) BenchAlerts(c);
  PrintTable();
  return 0;
}
