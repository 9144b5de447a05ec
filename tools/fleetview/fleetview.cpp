// Reading the fleet: libpq's non-blocking calls under one deadline, so that a
// database that does not answer (or stops answering half-way) costs a caller
// the timeout it gave and no more, on whatever thread it reads from.
#include "fleetview.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/helpers.h"
#include "lists.h"

namespace keldorfleet {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

struct ConnCloser {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultFreer {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgConn = std::unique_ptr<PGconn, ConnCloser>;
using PgResult = std::unique_ptr<PGresult, ResultFreer>;

// Read in one transaction: the servers, the bans in force and the actions
// seen at one moment. Texts are cut here, before they travel.
constexpr const char* kBegin = "BEGIN TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY";
constexpr const char* kNow = "SELECT extract(epoch FROM now())::bigint";
constexpr const char* kServers =
    "SELECT left(name, 64), left(host, 255), port, left(version, 64), left(state, 64),"
    " left(map, 64), players, slots, last_crash, pass_seconds,"
    " extract(epoch FROM last_seen)::bigint,"
    " greatest(0, extract(epoch FROM now() - last_seen))::bigint,"
    " now() - last_seen > pass_seconds * interval '3 seconds'"
    " FROM keldor.servers ORDER BY name LIMIT 1000";
constexpr const char* kBans =
    "SELECT id, left(server, 64), left(admin, 64), left(name, 64), left(address, 64),"
    " left(keyhash, 64), left(guid, 64), start_time, end_time, left(reason, 256)"
    " FROM keldor.bans"
    " WHERE lifted_at IS NULL AND (end_time = 0 OR end_time > extract(epoch FROM now()))"
    " AND ($1 = '' OR strpos(lower(concat_ws(' ', name, address, keyhash, guid, admin, server,"
    " reason)), lower($1)) > 0)"
    " ORDER BY start_time DESC, id LIMIT $2::integer";
constexpr const char* kActions =
    "SELECT id, left(server, 64), time, left(admin, 64), left(player, 64), left(address, 64),"
    " left(keyhash, 64), left(guid, 64), left(map, 64), left(action, 64), duration,"
    " left(reason, 256) FROM keldor.admin_actions"
    " WHERE $1 = '' OR strpos(lower(concat_ws(' ', player, address, keyhash, guid, admin,"
    " server, action, reason)), lower($1)) > 0"
    " ORDER BY time DESC, id DESC LIMIT $2::integer";

// libpq's message on one line: its hints follow on lines of their own.
std::string LibpqError(const PGconn* c) {
  const std::string message = c != nullptr ? PQerrorMessage(c) : "out of memory";
  std::string text;
  for (const char ch : message) {
    const bool space = ch == '\n' || ch == '\t' || ch == ' ';
    if (!space) {
      text += ch;
    } else if (!text.empty() && text.back() != ' ') {
      text += ' ';
    }
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// Whether the connection's socket became ready for `events` before `deadline`.
bool Ready(PGconn* c, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd wait{PQsocket(c), events, 0};
    const int ready = poll(&wait, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

PgConn Connect(const std::string& conninfo, const ReadOptions& options, Clock::time_point deadline,
               std::string* error) {
  // The database lists the session under the client's name unless the string names it.
  const char* keys[] = {"dbname", "fallback_application_name", nullptr};
  const char* values[] = {conninfo.c_str(), options.application, nullptr};
  PgConn c(PQconnectStartParams(keys, values, 1));
  if (c == nullptr || PQstatus(c.get()) == CONNECTION_BAD) {
    *error = LibpqError(c.get());
    return nullptr;
  }
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (state != PGRES_POLLING_OK) {
    if (state == PGRES_POLLING_FAILED) {
      *error = LibpqError(c.get());
      return nullptr;
    }
    if (!Ready(c.get(), state == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline)) {
      *error = "timed out";
      return nullptr;
    }
    state = PQconnectPoll(c.get());
  }
  if (PQsetnonblocking(c.get(), 1) != 0) {
    *error = LibpqError(c.get());
    return nullptr;
  }
  return c;
}

// One statement's result; null with the reason in `error`.
PgResult Query(PGconn* c, const char* sql, const std::vector<std::string>& params,
               Clock::time_point deadline, std::string* error) {
  std::vector<const char*> values;
  for (const std::string& p : params) values.push_back(p.c_str());
  if (PQsendQueryParams(c, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                        nullptr, 0) == 0) {
    *error = LibpqError(c);
    return nullptr;
  }
  int flushed = 0;
  while ((flushed = PQflush(c)) == 1) {
    if (!Ready(c, POLLOUT, deadline)) {
      *error = "timed out";
      return nullptr;
    }
  }
  if (flushed < 0) {
    *error = LibpqError(c);
    return nullptr;
  }
  PgResult last;
  for (;;) {
    while (PQisBusy(c) != 0) {
      if (!Ready(c, POLLIN, deadline)) {
        *error = "timed out";
        return nullptr;
      }
      if (PQconsumeInput(c) == 0) {
        *error = LibpqError(c);
        return nullptr;
      }
    }
    PgResult next(PQgetResult(c));
    if (next == nullptr) break;
    last = std::move(next);
  }
  const ExecStatusType status = last != nullptr ? PQresultStatus(last.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    const char* primary =
        last != nullptr ? PQresultErrorField(last.get(), PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    *error = primary != nullptr ? primary : LibpqError(c);
    return nullptr;
  }
  return last;
}

std::string Text(const PGresult* r, int row, int column) {
  return std::string(PQgetvalue(r, row, column),
                     static_cast<std::size_t>(PQgetlength(r, row, column)));
}

long long Number(const PGresult* r, int row, int column) {
  return std::strtoll(PQgetvalue(r, row, column), nullptr, 10);
}

int Int(const PGresult* r, int row, int column) {
  return static_cast<int>(Number(r, row, column));
}

Server ServerRow(const PGresult* r, int k) {
  return {Text(r, k, 0),    Text(r, k, 1),    Int(r, k, 2),         Text(r, k, 3),   Text(r, k, 4),
          Text(r, k, 5),    Int(r, k, 6),     Int(r, k, 7),         Number(r, k, 8), Int(r, k, 9),
          Number(r, k, 10), Number(r, k, 11), Text(r, k, 12) == "t"};
}

Ban BanRow(const PGresult* r, int k) {
  return {Text(r, k, 0), Text(r, k, 1), Text(r, k, 2),   Text(r, k, 3),   Text(r, k, 4),
          Text(r, k, 5), Text(r, k, 6), Number(r, k, 7), Number(r, k, 8), Text(r, k, 9)};
}

Action ActionRow(const PGresult* r, int k) {
  return {Text(r, k, 0), Text(r, k, 1), Number(r, k, 2),  Text(r, k, 3),
          Text(r, k, 4), Text(r, k, 5), Text(r, k, 6),    Text(r, k, 7),
          Text(r, k, 8), Text(r, k, 9), Number(r, k, 10), Text(r, k, 11)};
}

template <typename Row>
bool ReadRows(PGconn* c, const char* sql, const std::vector<std::string>& params,
              Clock::time_point deadline, std::vector<Row>* rows,
              Row (*convert)(const PGresult*, int), std::string* error) {
  const PgResult r = Query(c, sql, params, deadline, error);
  if (r == nullptr) return false;
  for (int k = 0; k < PQntuples(r.get()); ++k) rows->push_back(convert(r.get(), k));
  return true;
}

Json TimeJson(long long when) {
  return when != 0 ? Json(keldorclient::IsoTime(static_cast<std::time_t>(when))) : Json();
}

Json TextOrNull(const std::string& text) {
  return text.empty() ? Json() : Json(text);
}

}  // namespace

bool ReadFleet(const std::string& conninfo, const ReadOptions& options, Snapshot* snapshot,
               std::string* error) {
  const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  const PgConn c = Connect(conninfo, options, deadline, error);
  if (c == nullptr) return false;
  PGconn* db = c.get();
  if (Query(db, kBegin, {}, deadline, error) == nullptr) return false;
  const PgResult now = Query(db, kNow, {}, deadline, error);
  if (now == nullptr) return false;
  snapshot->now = Number(now.get(), 0, 0);
  if (!ReadRows(db, kServers, {}, deadline, &snapshot->servers, ServerRow, error)) return false;
  if (options.maxBans > 0 &&
      !ReadRows(db, kBans, {options.search, std::to_string(std::min(options.maxBans, kMaxBans))},
                deadline, &snapshot->bans, BanRow, error)) {
    return false;
  }
  return options.maxActions == 0 ||
         ReadRows(db, kActions,
                  {options.search, std::to_string(std::min(options.maxActions, kMaxActions))},
                  deadline, &snapshot->actions, ActionRow, error);
}

Json ServerJson(const Server& s) {
  return {{"name", s.name},
          {"host", s.host},
          {"port", s.port},
          {"version", s.version},
          {"state", s.state},
          {"gone", s.gone},
          {"map", s.map},
          {"players", s.players},
          {"slots", s.slots},
          {"last_crash", s.lastCrash != 0 ? Json(s.lastCrash) : Json()},
          {"last_crash_iso", TimeJson(s.lastCrash)},
          {"pass_seconds", s.passSeconds},
          {"last_seen", s.lastSeen},
          {"last_seen_iso", TimeJson(s.lastSeen)},
          {"seen_seconds_ago", s.seenAgo}};
}

Json BanJson(const Ban& b) {
  return {{"id", b.id},
          {"server", b.server},
          {"admin", b.admin},
          {"name", b.name},
          {"address", TextOrNull(b.address)},
          {"keyhash", TextOrNull(b.keyhash)},
          {"guid", TextOrNull(b.guid)},
          {"start", b.start},
          {"start_iso", TimeJson(b.start)},
          {"end", b.end},
          {"end_iso", TimeJson(b.end)},
          {"reason", b.reason}};
}

Json ActionJson(const Action& a) {
  return {{"id", a.id},
          {"server", a.server},
          {"time", a.time},
          {"time_iso", TimeJson(a.time)},
          {"admin", a.admin},
          {"player", a.player},
          {"address", TextOrNull(a.address)},
          {"keyhash", TextOrNull(a.keyhash)},
          {"guid", TextOrNull(a.guid)},
          {"map", a.map},
          {"action", a.action},
          {"duration", a.duration},
          {"reason", a.reason}};
}

Json FleetJson(const Snapshot& snapshot) {
  Json servers = Json::array(), bans = Json::array(), actions = Json::array();
  for (const Server& s : snapshot.servers) servers.push_back(ServerJson(s));
  for (const Ban& b : snapshot.bans) bans.push_back(BanJson(b));
  for (const Action& a : snapshot.actions) actions.push_back(ActionJson(a));
  return {{"now", snapshot.now},
          {"now_iso", TimeJson(snapshot.now)},
          {"servers", std::move(servers)},
          {"bans", std::move(bans)},
          {"actions", std::move(actions)}};
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&](std::string_view bytes) {
    for (const char c : bytes) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      out += escaped;
    }
  };
  while (!text.empty()) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t n =
        lead < 0x80 ? 1 : std::max<std::size_t>(1, keldor::Utf8SequenceLength(text));
    const bool control = lead < 0x20 || lead == 0x7F || (lead >= 0x80 && n == 1) ||
                         (n == 2 && lead == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0);
    if (control) {
      escape(text.substr(0, n));
    } else {
      out.append(text.substr(0, n));
    }
    text.remove_prefix(n);
  }
  return out;
}

std::size_t Columns(std::string_view text) {
  std::size_t columns = 0;
  for (const char c : text) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return columns;
}

}  // namespace keldorfleet
