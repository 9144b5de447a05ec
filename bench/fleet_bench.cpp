// The fleet's figures: see fleet_bench.h. The cluster is the tests' own
// (PgCluster); Keldor is started with -fleet on it as on a real host.
#include "fleet_bench.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>

#include "fleet/schema.h"
#include "pg_cluster.h"
#include "wire/protocol.h"

namespace keldor::bench {
namespace {

using keldor::testing::PgCluster;

bool WaitUntil(const std::function<bool()>& done, double seconds, int pollMs = 2) {
  const double end = NowSeconds() + seconds;
  while (!done()) {
    if (NowSeconds() >= end) return false;
    SleepMs(pollMs);
  }
  return true;
}

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A fresh cluster with the fleet's schema, migrated the way Keldor migrates it.
std::unique_ptr<PgCluster> FleetDatabase() {
  auto cluster = std::make_unique<PgCluster>();
  if (!cluster->Ok()) return nullptr;
  for (std::size_t version = 1; version <= FleetSchemaVersion(); ++version) {
    if (cluster->Query(FleetMigrationTransaction(version)).starts_with('\x01')) return nullptr;
  }
  return cluster;
}

// A Keldor in the fleet on its own installation; with `start`, with its game server.
struct FleetKeldor {
  const Paths* paths = nullptr;
  Installation installation;
  pid_t pid = 0;
  bool start = false;
  ~FleetKeldor() {
    StopProcess(pid);
    if (start) StopGameServer(*paths, installation);
    RemoveInstallation(installation);
  }
  bool Make(const Paths& p) {
    paths = &p;
    return MakeInstallation(p, 0, 0, &installation);
  }
  bool Launch(const std::string& conninfo, const std::string& name, bool withServer) {
    start = withServer;
    std::vector<std::string> words = {"-fleet", conninfo, "-fleetname", name};
    if (withServer) words.push_back("-start");
    pid = StartKeldor(*paths, installation, words);
    return pid > 0;
  }
  std::string Log() const {
    std::ifstream in(installation.root + "/keldor.out");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool Joined(const std::string& name) const {
    return Log().find("Joined the fleet as " + name + ".") != std::string::npos;
  }
  std::string BanList() const {
    return installation.dir + "/mods/bfvietnam/settings/serverbanlist.con";
  }
};

// The control socket of a gamesim: one command a line, one answer line each.
class GameControl {
 public:
  ~GameControl() {
    if (fd_ >= 0) close(fd_);
  }
  bool Open(const std::string& directory) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = directory + "/gamesim.sock";
    if (path.size() >= sizeof address.sun_path) return false;
    path.copy(address.sun_path, path.size());
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  // The answer without its "ok "; false unless the command succeeded.
  bool Run(const std::string& command, std::string* answer) {
    const std::string line = command + "\n";
    if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
      return false;
    }
    std::size_t end;
    while ((end = buffer_.find('\n')) == std::string::npos) {
      pollfd wait{fd_, POLLIN, 0};
      char chunk[4096];
      if (poll(&wait, 1, 5000) <= 0) return false;
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    const std::string reply = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    if (!reply.starts_with("ok")) return false;
    *answer = reply.size() > 3 ? reply.substr(3) : "";
    return true;
  }
  // True while `players` lists `name`; false when it does not or the answer failed.
  bool Lists(const std::string& name) {
    std::string answer;
    if (!Run("players", &answer)) return false;
    std::istringstream words(answer);
    for (std::string word; words >> word;) {
      const std::size_t colon = word.find(':');
      if (colon != std::string::npos && word.compare(colon + 1, std::string::npos, name) == 0) {
        return true;
      }
    }
    return false;
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

// A libpq connection, finished with the object.
struct PgConnection {
  explicit PgConnection(const std::string& conninfo) : conn(PQconnectdb(conninfo.c_str())) {}
  ~PgConnection() { PQfinish(conn); }
  bool Ok() const { return PQstatus(conn) == CONNECTION_OK; }
  bool Exec(const char* sql, ExecStatusType wanted = PGRES_COMMAND_OK) const {
    PGresult* result = PQexec(conn, sql);
    const bool ok = PQresultStatus(result) == wanted;
    PQclear(result);
    return ok;
  }
  PGconn* conn;
};

// Round trips of a bare NOTIFY: sent on one connection, seen on another that LISTENs.
bool NotifyRoundTrips(const std::string& conninfo, int count, std::vector<double>* out) {
  const PgConnection listener(conninfo), notifier(conninfo);
  if (!listener.Ok() || !notifier.Ok() || !listener.Exec("LISTEN keldor_bench")) return false;
  for (int i = 0; i < count; ++i) {
    const double t = NowSeconds();
    if (!notifier.Exec("NOTIFY keldor_bench")) return false;
    for (;;) {
      if (PQconsumeInput(listener.conn) == 0) return false;
      if (PGnotify* note = PQnotifies(listener.conn)) {
        PQfreemem(note);
        break;
      }
      pollfd wait{PQsocket(listener.conn), POLLIN, 0};
      if (poll(&wait, 1, 5000) <= 0) return false;
    }
    out->push_back(NowSeconds() - t);
  }
  return true;
}

// A ban of a player who is not on this Keldor's server, by address and key
// hash, for good; the fields as keldorctl's "ban -1" sends them.
bool SendBan(Client& client, const std::string& name, const std::string& address,
             const std::string& keyhash) {
  std::string text;
  for (const std::string& field :
       {std::string("-1"), name, address, keyhash, std::string("[unknown]"), std::string("0"),
        std::string("bench")}) {
    text += field + '\xFF';
  }
  text += '\0';
  const Word code = EncodeWord(REQ_BAN_PLAYER);
  const Word length = EncodeWord(static_cast<std::uint32_t>(text.size()));
  return client.Send(code.data(), code.size()) && client.Send(length.data(), length.size()) &&
         client.Send(text.data(), text.size());
}

std::unique_ptr<Client> Login(const Installation& installation) {
  auto client = std::make_unique<Client>();
  if (!client->Open(installation.listenPort, installation.facts.at("admin-user"),
                    installation.facts.at("admin-password"))) {
    return nullptr;
  }
  return client;
}

// Ping round trips `gapMs` apart, so that they span the loop's periodic work.
bool Pings(Client& client, int count, int gapMs, std::vector<double>* out) {
  for (int i = 0; i < count; ++i) {
    const double t = NowSeconds();
    if (!client.SendWord(REQ_PING) || !client.AwaitNote(NOTE_PONG)) return false;
    out->push_back(NowSeconds() - t);
    SleepMs(gapMs);
  }
  return true;
}

// The lines of a file; 0 when it cannot be read.
long Lines(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return 0;
  long lines = 0;
  char chunk[1 << 16];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    lines += std::count(chunk, chunk + n, '\n');
  }
  std::fclose(file);
  return lines;
}

std::string Hex32(int value) {
  char text[33];
  std::snprintf(text, sizeof text, "%032x", value);
  return text;
}

// A player made up for the benchmark: the n-th of a series of addresses and key hashes.
struct Player {
  std::string name, address, keyhash;
};

Player MadeUp(const std::string& name, int series, int n) {
  return {name + std::to_string(n),
          "10." + std::to_string(series) + "." + std::to_string(n / 256) + "." +
              std::to_string(n % 256),
          Hex32(series << 20 | n)};
}

// Keldors A and B, each with its game server, both joined; B's game reachable.
bool StartPair(const Paths& paths, const std::string& conninfo, FleetKeldor* a, FleetKeldor* b,
               GameControl* gameB) {
  if (!a->Make(paths) || !b->Make(paths) || !a->Launch(conninfo, "bench-a", true) ||
      !b->Launch(conninfo, "bench-b", true)) {
    return false;
  }
  return WaitUntil([&] { return a->Joined("bench-a") && b->Joined("bench-b"); }, 30, 20) &&
         WaitUntil([&] { return Connected(b->installation.consolePort); }, 30, 20) &&
         gameB->Open(b->installation.dir);
}

// Seconds from the ban's request on A until gamesim B no longer lists the
// player, and in `committed` until `listener` (LISTENing on the fleet's
// channel) heard A's commit; -1 when he was not kicked.
double TimeBan(Client& adminA, GameControl& gameB, const PgConnection& listener,
               const Player& player, double* committed) {
  PQconsumeInput(listener.conn);
  while (PGnotify* stale = PQnotifies(listener.conn)) PQfreemem(stale);
  const double t = NowSeconds();
  *committed = -1;
  const auto kicked = [&] {
    PQconsumeInput(listener.conn);
    while (PGnotify* note = PQnotifies(listener.conn)) {
      if (*committed < 0) *committed = NowSeconds() - t;
      PQfreemem(note);
    }
    return !gameB.Lists(player.name);
  };
  if (!SendBan(adminA, player.name, player.address, player.keyhash) || !WaitUntil(kicked, 10, 1)) {
    return -1;
  }
  const double took = NowSeconds() - t;
  return adminA.AwaitNote(NOTE_PLAYER_BANNED) ? took : -1;
}

// `bans` bans for good inserted through keldor.ban, as a server would make them.
bool InsertBans(const PgCluster& cluster, int bans) {
  const std::string insert =
      "DO $$ BEGIN FOR i IN 1.." + std::to_string(bans) +
      " LOOP PERFORM keldor.ban(md5('bench' || i), 'seed', 'Admin', 'Player' || i, '10.' || (i "
      ">> 16) || '.' || ((i >> 8) & 255) || '.' || (i & 255), md5('key' || i), '', 1700000000 "
      "+ i, 0, 'reason ' || i); END LOOP; END $$;";
  const double t = NowSeconds();
  if (cluster.Query(insert).starts_with('\x01')) return false;
  std::fprintf(stderr, "bench: %d bans inserted through keldor.ban in %.1f s\n", bans,
               NowSeconds() - t);
  return true;
}

// A new connection reading every ban in force with one query, in seconds; -1
// unless it read `bans` rows.
double ReadBansOnce(const std::string& conninfo, int bans) {
  const double t = NowSeconds();
  const PgConnection reader(conninfo);
  PGresult* rows =
      PQexec(reader.conn,
             "SELECT id, seq, server, admin, name, address, keyhash, guid, start_time, "
             "end_time, reason FROM keldor.bans WHERE seq > 0 AND lifted_at IS NULL ORDER BY seq");
  const bool ok = PQresultStatus(rows) == PGRES_TUPLES_OK && PQntuples(rows) == bans;
  PQclear(rows);
  return ok ? NowSeconds() - t : -1;
}

// True once `path` holds `lines` lines; it is counted only when it has changed.
bool HoldsLines(const std::string& path, long lines, struct stat* seen) {
  struct stat now {};
  if (stat(path.c_str(), &now) != 0 ||
      (now.st_ino == seen->st_ino && now.st_size == seen->st_size &&
       now.st_mtim.tv_sec == seen->st_mtim.tv_sec &&
       now.st_mtim.tv_nsec == seen->st_mtim.tv_nsec)) {
    return false;
  }
  *seen = now;
  return Lines(path) >= lines;
}

}  // namespace

struct FleetBench::State {
  Paths paths;
  std::unique_ptr<PgCluster> banDb, catchUpDb, outageDb;
  std::unique_ptr<FleetKeldor> a, b, outage;
  std::unique_ptr<GameControl> gameB;
  std::unique_ptr<Client> adminA, pinger, banner;
  int victims = 0, joins = 0, outages = 0;
};

FleetBench::FleetBench(const Paths& paths) : state_(std::make_unique<State>()) {
  state_->paths = paths;
}

FleetBench::~FleetBench() = default;

bool FleetBench::BanRound(int bans, Samples* out) {
  State& s = *state_;
  if (!s.banDb) {
    s.banDb = FleetDatabase();
    s.a = std::make_unique<FleetKeldor>();
    s.b = std::make_unique<FleetKeldor>();
    s.gameB = std::make_unique<GameControl>();
    if (!s.banDb || !StartPair(s.paths, s.banDb->ConnInfo(), s.a.get(), s.b.get(), s.gameB.get()) ||
        !(s.adminA = Login(s.a->installation))) {
      return std::fprintf(stderr, "bench: the fleet of two did not start\n"), false;
    }
  }
  if (!NotifyRoundTrips(s.banDb->ConnInfo(), bans, &out->anchor)) return false;
  // The players join first and Keldor B's next pass sees them.
  std::vector<Player> players;
  std::string answer;
  for (int i = 0; i < bans; ++i) {
    players.push_back(MadeUp("Victim", 77, ++s.victims));
    const Player& p = players.back();
    if (!s.gameB->Run("add " + p.name + " ip=" + p.address + " keyhash=" + p.keyhash, &answer)) {
      return std::fprintf(stderr, "bench: gamesim B took no player\n"), false;
    }
  }
  SleepMs(3500);
  const PgConnection listener(s.banDb->ConnInfo());
  if (!listener.Ok() || !listener.Exec("LISTEN keldor_bans")) return false;
  for (const Player& player : players) {
    double committed = -1;
    const double took = TimeBan(*s.adminA, *s.gameB, listener, player, &committed);
    if (took < 0) {
      return std::fprintf(stderr, "bench: %s was not kicked on B\n", player.name.c_str()), false;
    }
    out->figure.push_back(took);
    if (committed >= 0) out->committed.push_back(committed);
    SleepMs(20);
  }
  return true;
}

bool FleetBench::CatchUpRound(int bans, CatchUp* out) {
  State& s = *state_;
  if (!s.catchUpDb) {
    s.catchUpDb = FleetDatabase();
    if (!s.catchUpDb || !InsertBans(*s.catchUpDb, bans)) {
      return std::fprintf(stderr, "bench: the fleet's bans were not inserted\n"), false;
    }
  }
  const std::string conninfo = s.catchUpDb->ConnInfo();
  out->anchor = ReadBansOnce(conninfo, bans);
  if (out->anchor < 0) return std::fprintf(stderr, "bench: the anchor's query failed\n"), false;
  FleetKeldor k;
  const std::string name = "bench-join-" + std::to_string(++s.joins);
  if (!k.Make(s.paths)) return false;
  struct stat seen {};
  const double t = NowSeconds();
  if (!k.Launch(conninfo, name, false)) return false;
  const auto caughtUp = [&] {
    if (out->joined < 0 && k.Joined(name)) out->joined = NowSeconds() - t;
    return HoldsLines(k.BanList(), bans, &seen);
  };
  if (!WaitUntil(caughtUp, 120, 2)) {
    return std::fprintf(stderr, "bench: %s did not catch up\n", name.c_str()), false;
  }
  out->caughtUp = NowSeconds() - t;
  return true;
}

namespace {

// A Keldor with its game server in the fleet, and two of its clients.
bool StartAlone(const Paths& paths, const std::string& conninfo, FleetKeldor* k,
                std::unique_ptr<Client>* pinger, std::unique_ptr<Client>* banner) {
  return k->Make(paths) && k->Launch(conninfo, "bench-outage", true) &&
         WaitUntil([&] { return k->Joined("bench-outage"); }, 30, 20) &&
         WaitUntil([&] { return Connected(k->installation.consolePort); }, 30, 20) &&
         (*pinger = Login(k->installation)) && (*banner = Login(k->installation));
}

// Stops the cluster and waits until Keldor has logged the outage, or freezes it.
void TakeAway(PgCluster& cluster, const FleetKeldor& k, bool hung) {
  const std::string unreachable = "Fleet database unreachable!";
  const int before = CountOf(k.Log(), unreachable);
  if (hung) return cluster.Hang();
  if (!cluster.Stop() ||
      !WaitUntil([&] { return CountOf(k.Log(), unreachable) > before; }, 20, 20)) {
    std::fprintf(stderr, "bench: the outage was not logged\n");
  }
}

// Starts or thaws the cluster and waits until the ban made while it was away
// (on `address`) has reached it.
bool BringBack(PgCluster& cluster, bool hung, const std::string& address) {
  if (hung) {
    cluster.Resume();
  } else if (!cluster.Start()) {
    return std::fprintf(stderr, "bench: the cluster did not start again\n"), false;
  }
  const std::string count = "SELECT count(*) FROM keldor.bans WHERE address = '" + address + "'";
  if (!WaitUntil([&] { return cluster.Query(count) == "1\n"; }, 60, 200)) {
    std::fprintf(stderr, "bench: the ban made during the outage did not reach the database\n");
  }
  return true;
}

}  // namespace

bool FleetBench::OutageRound(int pings, bool hung, Samples* out) {
  State& s = *state_;
  if (!s.outageDb) {
    s.outageDb = FleetDatabase();
    s.outage = std::make_unique<FleetKeldor>();
    if (!s.outageDb ||
        !StartAlone(s.paths, s.outageDb->ConnInfo(), s.outage.get(), &s.pinger, &s.banner)) {
      return std::fprintf(stderr, "bench: the outage's Keldor did not start\n"), false;
    }
  }
  // A ban at the start of each half: with the database away it goes to the
  // outbox. The pings span a reconnection (tried every 5 s) and, frozen, the
  // 10 s after which Keldor gives up on a database that does not answer.
  const int gapMs = hung ? 60 : 30;
  Player banned;
  const auto half = [&](std::vector<double>* times) {
    banned = MadeUp("Away", 88, ++s.outages);
    return SendBan(*s.banner, banned.name, banned.address, banned.keyhash) &&
           Pings(*s.pinger, pings, gapMs, times) && s.banner->AwaitNote(NOTE_PLAYER_BANNED);
  };
  if (!half(&out->anchor)) return false;
  TakeAway(*s.outageDb, *s.outage, hung);
  const bool measured = half(&out->figure);
  return BringBack(*s.outageDb, hung, banned.address) && measured;
}

}  // namespace keldor::bench
