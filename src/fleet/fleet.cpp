// The fleet's database link: see fleet.h.
#include "fleet/fleet.h"

#include <libpq-fe.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_set>
#include <vector>

#include "bans/game_lists.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "fleet/outbox.h"
#include "fleet/records.h"
#include "fleet/schema.h"
#include "gamelink/console.h"
#include "gamelink/player_table.h"
#include "gamelink/status_query.h"
#include "process/server_process.h"
#include "runtime/alerting.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

// A database that has not answered a step for this long is given up on; the
// link is dropped and made again after kRetryMs.
constexpr long long kAnswerMs = 10000;
constexpr long long kRetryMs = 5000;
// Rows one catch-up query reads: its result is held in memory whole.
constexpr int kCatchUpPage = 10000;
// Up to this many bans from elsewhere are logged one by one; more, as a count.
constexpr std::size_t kLoggedOneByOne = 20;
// Sent changes leave the outbox file in groups (one rewrite each), and at the end.
constexpr std::size_t kOutboxRewriteEvery = 100;

enum class Step { kOff, kWaiting, kConnecting, kReady };
enum class Query { kNone, kSchema, kVersion, kMigrate, kListen, kChange, kCatchUp, kStatus };

struct FleetLink {
  PGconn* conn = nullptr;
  Step step = Step::kOff;
  Query query = Query::kNone;
  long long since = 0;    // monotonic ms: the connection or the query began
  long long retryAt = 0;  // monotonic ms
  bool connectWrites = true;
  bool flushing = false;
  bool failed = false;  // the query in flight had an error
  std::string failure;  // its message
  std::string failureState;
  bool unreachable = false;  // logged once per outage
  bool schemaFound = false;  // the version table exists
  std::size_t version = 0;
  std::deque<FleetChange> outbox;
  std::size_t sentSinceRewrite = 0;
  bool backlogged = false;  // changes waited for the database: say when they are in
  std::size_t backlog = 0;  // of those, sent so far
  long long cursor = 0;
  bool catchUpWanted = true;
  bool statusWanted = false;
  std::vector<std::string> status;
  std::time_t lastCrash = 0;
  bool down = false;  // crashed and not started since
  // A catch-up page read: applied once the next page has been asked for, so
  // that the database reads on meanwhile.
  PGresult* page = nullptr;
  bool mayRepeat = true;
  std::string name;
};

void DropPage(FleetLink& link) {
  if (link.page != nullptr) PQclear(link.page);
  link.page = nullptr;
}

void CloseLink(FleetLink& link) {
  DropPage(link);
  if (link.conn != nullptr) PQfinish(link.conn);
  link = FleetLink{};
}

StateTable<FleetLink> g_fleet(CloseLink);

long long Ms() {
  return MonotonicMilliseconds();
}

std::string CursorPath() {
  return Opts().settingsDir + "/fleetcursor.con";
}

void LoadCursor() {
  g_fleet->cursor = 0;
  const FileHandle in(std::fopen(CursorPath().c_str(), "r"));
  char text[32] = {};
  if (in && std::fgets(text, sizeof text, in.get()) != nullptr) {
    g_fleet->cursor = std::max(0LL, std::strtoll(text, nullptr, 10));
  }
}

// False (logged) when the cursor could not be written.
bool SaveCursor() {
  const std::string text = std::to_string(g_fleet->cursor) + "\n";
  if (!ReplaceFile(CursorPath(),
                   [&](std::FILE* out) { return std::fputs(text.c_str(), out) >= 0; })) {
    LogMessage(kLogInfo, "Couldn't write %s! %s", CursorPath().c_str(), ErrorText(ErrorCode()));
    return false;
  }
  return true;
}

// libpq's message as one line.
std::string OneLine(const char* message) {
  std::string text = FlattenLine(message != nullptr ? message : "");
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text.empty() ? "no reason given" : text;
}

// Drops the link and tries again later; the first failure of an outage is logged.
void GiveUp(const std::string& why) {
  FleetLink& link = *g_fleet;
  if (!link.unreachable) {
    LogMessage(kLogInfo, "Fleet database unreachable! %s", why.c_str());
    RaiseAlert(
        {AlertKind::kFleetUnreachable,
         "The fleet database is unreachable: " + why + ". Changes wait here until it is back.",
         {{"reason", why}}});
    link.unreachable = true;
    link.backlogged = !link.outbox.empty();
  }
  DropPage(link);
  if (link.conn != nullptr) PQfinish(link.conn);
  link.conn = nullptr;
  link.step = Step::kWaiting;
  link.query = Query::kNone;
  link.retryAt = Ms() + kRetryMs;
}

void LogNotice(void*, const char* message) {
  LogDebug("DEBUG: Fleet database: %s", OneLine(message).c_str());
}

void BeginConnect() {
  FleetLink& link = *g_fleet;
  // The operator's string first; the client encoding after it so that it wins:
  // every text Keldor sends is made valid UTF-8 (FleetText).
  const char* keys[] = {"dbname", "client_encoding", "fallback_application_name", nullptr};
  const char* values[] = {Opts().fleetConnInfo.c_str(), "UTF8", "keldor", nullptr};
  link.conn = PQconnectStartParams(keys, values, 1);
  if (link.conn == nullptr || PQstatus(link.conn) == CONNECTION_BAD) {
    GiveUp(OneLine(link.conn != nullptr ? PQerrorMessage(link.conn) : "out of memory"));
    return;
  }
  // The database's notices go to the log (with -debug), not raw to standard error.
  PQsetNoticeProcessor(link.conn, LogNotice, nullptr);
  link.step = Step::kConnecting;
  link.connectWrites = true;
  link.since = Ms();
}

// Records the query `query` as in flight once libpq took it (`accepted`);
// otherwise the link is given up.
void InFlight(Query query, bool accepted) {
  FleetLink& link = *g_fleet;
  if (!accepted) {
    GiveUp(OneLine(PQerrorMessage(link.conn)));
    return;
  }
  link.query = query;
  link.since = Ms();
  link.failed = false;
  link.flushing = true;
}

// A text of statements (the migrations hold several); no parameters.
void Send(Query query, const std::string& sql) {
  InFlight(query, PQsendQuery(g_fleet->conn, sql.c_str()) != 0);
}

// One statement with its parameters as text: nothing of them reaches the SQL.
void SendParams(Query query, const char* sql, const std::vector<std::string>& params) {
  std::vector<const char*> values;
  for (const std::string& p : params) values.push_back(p.c_str());
  InFlight(query, PQsendQueryParams(g_fleet->conn, sql, static_cast<int>(values.size()), nullptr,
                                    values.data(), nullptr, nullptr, 0) != 0);
}

// Queues a change made here: on disk first, then to the database when it can.
void QueueChange(FleetChange change) {
  FleetLink& link = *g_fleet;
  if (link.step == Step::kOff) return;
  if (link.outbox.size() >= kOutboxMax) {
    LogMessage(kLogInfo, "Fleet outbox is full! A change is kept only here.");
    return;
  }
  if (!AppendToOutbox(change)) return;
  if (link.unreachable) link.backlogged = true;
  link.outbox.push_back(std::move(change));
}

// --- applying what other servers did ------------------------------------------------

// What the local ban list holds: the identifiers (lower case) and each ban's
// start and name. Kept between the pages of a catch-up while the file is as
// they left it (same inode, size and modification time), so that a long
// catch-up does not read the growing list once per page.
struct LocalBans {
  std::unordered_set<std::string> ids;  // only once a lift needs them
  std::unordered_set<std::string> made;
  bool valid = false;
  bool withIds = false;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
};

StateTable<LocalBans> g_local;

std::string MadeKey(long long start, const std::string& name) {
  return std::to_string(start) + '\x1f' + ToLower(name);
}

void RememberIds(LocalBans& local, const BanEntry& entry) {
  for (const std::string* id : {&entry.address, &entry.keyhash, &entry.guid}) {
    const std::string clean = Identifier(*id);
    if (!clean.empty()) local.ids.insert(ToLower(clean));
  }
}

void Remember(LocalBans& local, const BanEntry& entry) {
  if (local.withIds) RememberIds(local, entry);
  local.made.insert(MadeKey(std::strtoll(entry.start.c_str(), nullptr, 10), entry.name));
}

// Whether the file is still the one `local` was read from (or brought up to date with).
bool Unchanged(LocalBans& local, bool update) {
  struct stat st {};
  const bool exists = stat(ServerBanListPath().c_str(), &st) == 0;
  const bool same = exists && local.inode == st.st_ino && local.size == st.st_size &&
                    local.modified.tv_sec == st.st_mtim.tv_sec &&
                    local.modified.tv_nsec == st.st_mtim.tv_nsec;
  if (update) {
    local.inode = exists ? st.st_ino : 0;
    local.size = exists ? st.st_size : -1;
    local.modified = exists ? st.st_mtim : timespec{};
  }
  return same;
}

// The list as it is now; with `ids`, its identifiers too.
LocalBans& CurrentLocalBans(bool ids) {
  LocalBans& local = *g_local;
  if (local.valid && (local.withIds || !ids) && Unchanged(local, false)) return local;
  local = LocalBans{};
  local.withIds = ids;
  Unchanged(local, true);
  BanEntry entry;
  ForEachLine(ServerBanListPath(), kBanLineMax, false, [&](std::string& line, bool) {
    if (ParseBanEntry(line, entry)) Remember(local, entry);
    return true;
  });
  local.valid = true;
  return local;
}

bool HoldsAny(const LocalBans& local, const FleetBanRow& row) {
  for (const std::string* id : {&row.address, &row.keyhash, &row.guid}) {
    if (!id->empty() && local.ids.count(ToLower(*id)) != 0) return true;
  }
  return false;
}

bool Same(const std::string& banned, const std::string& known) {
  return !banned.empty() && strcasecmp(banned.c_str(), known.c_str()) == 0;
}

// The players a ban names, by any of its identifiers.
std::vector<int> PlayersBanned(const FleetBanRow& row) {
  std::vector<int> ids;
  const PlayerTable& table = Players();
  for (std::size_t k = 0; k < PlayerCount(); ++k) {
    const PlayerRecord& p = table.records[k];
    if (Same(row.address, p.ip) || Same(row.keyhash, p.keyhash) || Same(row.guid, p.pbGuid)) {
      ids.push_back(p.id);
    }
  }
  return ids;
}

// Kicks whoever the new bans name: the game may not drop a player whose
// address or key is added to its list.
void KickBanned(const std::vector<const FleetBanRow*>& bans) {
  if (!GameServer().monitoring || !Console().connected) return;
  for (const FleetBanRow* row : bans) {
    for (const int id : PlayersBanned(*row)) {
      if (Console().connected) SendConsoleMessage("admin.kickPlayer %i", id);
    }
  }
}

}  // namespace

void ApplyFleetRows(const std::vector<FleetBanRow>& rows, const std::string& self, bool mayRepeat) {
  const bool lifts =
      std::any_of(rows.begin(), rows.end(), [](const FleetBanRow& row) { return row.lifted; });
  // The local list is read only when it is needed: to find what a lift lifts,
  // and for rows that may have been put into effect before.
  LocalBans* local = lifts || mayRepeat ? &CurrentLocalBans(lifts) : nullptr;
  const std::time_t now = Now();
  std::vector<NewBan> adds;
  std::vector<const FleetBanRow*> added;
  adds.reserve(rows.size());
  added.reserve(rows.size());
  for (const FleetBanRow& row : rows) {
    if (row.lifted) {
      if (row.liftedOn == self || !HoldsAny(*local, row)) continue;
      if (RemoveBan(row.name, row.address, row.keyhash, row.guid)) {
        LogMessage(kLogInfo, "Fleet lift from %s on player %s put into effect.",
                   row.liftedOn.c_str(), row.name.c_str());
      }
      local->valid = false;  // read again when next needed
      continue;
    }
    if (row.server == self || (row.end != 0 && row.end <= now)) continue;
    // Taken as made now; should the list not take it, the cache is dropped below.
    if (local != nullptr && !local->made.insert(MadeKey(row.start, row.name)).second) continue;
    NewBan ban;
    ban.entry = {row.name,
                 row.address,
                 row.keyhash,
                 row.guid,
                 row.admin,
                 std::to_string(row.start),
                 std::to_string(row.end),
                 row.reason};
    adds.push_back(std::move(ban));
    added.push_back(&row);
  }
  if (adds.empty()) return;
  // The kick first: it is what takes the player off now; the ban keeps him off.
  KickBanned(added);
  // What the list held and what this adds: true unless another hand wrote between.
  const bool current = local != nullptr && local->valid && Unchanged(*local, false);
  const std::size_t recorded = AddBans(adds);
  if (local == nullptr) {
    g_local->valid = false;
  } else {
    if (local->withIds) {
      for (const NewBan& ban : adds) RememberIds(*local, ban.entry);
    }
    local->valid = current && recorded == adds.size();
    Unchanged(*local, true);
  }
  if (added.size() <= kLoggedOneByOne) {
    for (const FleetBanRow* row : added) {
      LogMessage(kLogInfo, "Fleet ban from %s on player %s put into effect.", row->server.c_str(),
                 row->name.c_str());
    }
  } else {
    LogMessage(kLogInfo, "Fleet: %zu bans from other servers put into effect.", added.size());
  }
  Report(Event::kBansChanged);
}

namespace {

void CatchUpFrom(PGresult* result) {
  FleetLink& link = *g_fleet;
  const int rows = PQntuples(result);
  if (PQnfields(result) != static_cast<int>(kFleetBanColumns)) return;
  std::vector<FleetBanRow> parsed;
  parsed.reserve(static_cast<std::size_t>(rows));
  std::vector<std::string> columns(kFleetBanColumns);
  std::size_t refused = 0;
  long long last = link.cursor;
  for (int r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < kFleetBanColumns; ++c) {
      columns[c] = PQgetvalue(result, r, static_cast<int>(c));
    }
    FleetBanRow row;
    if (ParseFleetBanRow(columns, row)) {
      last = std::max(last, row.seq);
      parsed.push_back(std::move(row));
    } else {
      // Its sequence number still moves the cursor: a row that cannot be used
      // now will not be usable later either.
      last = std::max(last, std::strtoll(columns[0].c_str(), nullptr, 10));
      ++refused;
    }
  }
  if (refused != 0) LogMessage(kLogInfo, "Fleet: %zu unusable ban row(s) skipped.", refused);
  ApplyFleetRows(parsed, link.name, link.mayRepeat);
  if (last != link.cursor) {
    link.cursor = last;
    // Until a page is put into effect and its cursor kept, the next page may
    // hold rows that were put into effect before (Keldor ended in between).
    link.mayRepeat = !SaveCursor();
  }
  // A full page asks for the next, unless that is already on its way.
  link.catchUpWanted = rows >= kCatchUpPage && link.query != Query::kCatchUp;
}

// --- the queries --------------------------------------------------------------------

// Asks for the page of changes after `from`.
void SendCatchUp(long long from) {
  // Texts are cut in the query: a row can never make the result large.
  static constexpr const char* kSql =
      "SELECT seq, id, left(server, 64), left(admin, 64), left(name, 64), left(address, 64), "
      "left(keyhash, 64), left(guid, 64), start_time, end_time, left(reason, 255), "
      "CASE WHEN lifted_at IS NULL THEN '' ELSE 'y' END, left(coalesce(lifted_on, ''), 64) "
      "FROM keldor.bans WHERE seq > $1::bigint ORDER BY seq LIMIT 10000";
  g_fleet->catchUpWanted = false;
  SendParams(Query::kCatchUp, kSql, {std::to_string(from)});
}

// A page read: the next one is asked for first (from the page's last sequence
// number), then this one is put into effect while the database reads on.
void PageDone() {
  FleetLink& link = *g_fleet;
  PGresult* page = link.page;
  link.page = nullptr;
  if (page == nullptr) return;
  const int rows = PQntuples(page);
  const char* last = rows > 0 ? PQgetvalue(page, rows - 1, 0) : "";
  const long long next = std::strtoll(last, nullptr, 10);
  if (rows >= kCatchUpPage && next > link.cursor) SendCatchUp(next);
  CatchUpFrom(page);
  PQclear(page);
}

void StartNext() {
  FleetLink& link = *g_fleet;
  if (!link.outbox.empty()) {
    const FleetChange& change = link.outbox.front();
    SendParams(Query::kChange, ChangeQuery(change.kind), change.fields);
  } else if (link.catchUpWanted) {
    SendCatchUp(link.cursor);
  } else if (link.statusWanted) {
    link.statusWanted = false;
    SendParams(Query::kStatus,
               "SELECT keldor.server_status($1, $2, $3::integer, $4, $5, $6, $7::integer, "
               "$8::integer, $9::bigint, $10::integer)",
               link.status);
  }
}

// A change the database took (or refused for good) leaves the outbox.
void ChangeDone() {
  FleetLink& link = *g_fleet;
  link.outbox.pop_front();
  if (link.backlogged) ++link.backlog;
  if (++link.sentSinceRewrite >= kOutboxRewriteEvery || link.outbox.empty()) {
    RewriteOutbox(link.outbox);
    link.sentSinceRewrite = 0;
  }
  if (link.outbox.empty() && link.backlogged) {
    LogMessage(kLogInfo, "Fleet: %zu queued change(s) sent.", link.backlog);
    link.backlog = 0;
    link.backlogged = false;
  }
}

// Errors of the data itself (class 22, 23): the change can never be taken.
bool RefusedForGood(const std::string& state) {
  return state.rfind("22", 0) == 0 || state.rfind("23", 0) == 0;
}

void QueryDone() {
  FleetLink& link = *g_fleet;
  const Query query = link.query;
  link.query = Query::kNone;
  if (link.failed) {
    if (query == Query::kChange && RefusedForGood(link.failureState)) {
      LogMessage(kLogInfo, "Fleet database refused a change! %s", link.failure.c_str());
      ChangeDone();
      return;
    }
    if (query == Query::kStatus) return;  // written again next pass
    if (query == Query::kMigrate && !link.unreachable) {
      LogMessage(kLogInfo, "Couldn't migrate the fleet database! %s", link.failure.c_str());
    }
    GiveUp(link.failure);
    return;
  }
  switch (query) {
    case Query::kSchema:
      if (link.schemaFound) {
        Send(Query::kVersion, FleetVersionQuery());
      } else {
        Send(Query::kMigrate, FleetMigrationTransaction(1));  // a new database
      }
      return;
    case Query::kVersion:
      if (link.version < FleetSchemaVersion()) {
        Send(Query::kMigrate, FleetMigrationTransaction(link.version + 1));
      } else {
        Send(Query::kListen, std::string("LISTEN ") + kFleetChannel);
      }
      return;
    case Query::kMigrate:
      LogMessage(kLogInfo, "Fleet database migrated to version %zu.", link.version + 1);
      Send(Query::kSchema, FleetSchemaQuery());
      return;
    case Query::kListen:
      LogMessage(kLogInfo, "Joined the fleet as %s.", link.name.c_str());
      link.unreachable = false;
      link.catchUpWanted = true;
      return;
    case Query::kChange:
      ChangeDone();
      return;
    case Query::kCatchUp:
      PageDone();
      return;
    default:
      return;
  }
}

// Takes one result of the query in flight; true when it is kept (a catch-up
// page, applied when the query is done), false when the caller may free it.
bool TakeResult(PGresult* result) {
  FleetLink& link = *g_fleet;
  const ExecStatusType status = PQresultStatus(result);
  if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE ||
      status == PGRES_NONFATAL_ERROR) {
    if (!link.failed) {
      link.failed = true;
      link.failure = OneLine(PQresultErrorMessage(result));
      const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
      link.failureState = state != nullptr ? state : "";
    }
    return false;
  }
  if (status != PGRES_TUPLES_OK) return false;
  if (link.query == Query::kSchema && PQntuples(result) == 1) {
    link.schemaFound = std::strcmp(PQgetvalue(result, 0, 0), "t") == 0;
  } else if (link.query == Query::kVersion && PQntuples(result) == 1) {
    link.version = static_cast<std::size_t>(std::strtoul(PQgetvalue(result, 0, 0), nullptr, 10));
  } else if (link.query == Query::kCatchUp) {
    DropPage(link);
    link.page = result;
    return true;
  }
  return false;
}

void ServeConnecting(bool readable, bool writable) {
  FleetLink& link = *g_fleet;
  if (Ms() - link.since > kAnswerMs) {
    GiveUp("The database did not answer the connection.");
    return;
  }
  if (!(link.connectWrites ? writable : readable)) return;
  switch (PQconnectPoll(link.conn)) {
    case PGRES_POLLING_OK:
      if (PQsetnonblocking(link.conn, 1) != 0) {
        GiveUp(OneLine(PQerrorMessage(link.conn)));
        return;
      }
      link.step = Step::kReady;
      Send(Query::kSchema, FleetSchemaQuery());
      return;
    case PGRES_POLLING_FAILED:
      GiveUp(OneLine(PQerrorMessage(link.conn)));
      return;
    case PGRES_POLLING_WRITING:
      link.connectWrites = true;
      return;
    default:
      link.connectWrites = false;
      return;
  }
}

void ServeReady(bool readable) {
  FleetLink& link = *g_fleet;
  if (link.flushing) {
    const int flushed = PQflush(link.conn);
    if (flushed < 0) {
      GiveUp(OneLine(PQerrorMessage(link.conn)));
      return;
    }
    link.flushing = flushed == 1;
  }
  if (readable && PQconsumeInput(link.conn) == 0) {
    GiveUp(OneLine(PQerrorMessage(link.conn)));
    return;
  }
  while (link.query != Query::kNone && link.step == Step::kReady && !PQisBusy(link.conn)) {
    PGresult* result = PQgetResult(link.conn);
    if (result == nullptr) {
      QueryDone();
      continue;
    }
    if (!TakeResult(result)) PQclear(result);
  }
  if (link.step != Step::kReady) return;
  while (PGnotify* note = PQnotifies(link.conn)) {
    if (NotificationWanted(note->relname, note->extra, link.name)) link.catchUpWanted = true;
    PQfreemem(note);
  }
  if (link.query == Query::kNone) {
    StartNext();
  } else if (Ms() - link.since > kAnswerMs) {
    GiveUp("The database did not answer in time.");
  }
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

std::string ServerState() {
  if (!GameServer().monitoring) return g_fleet->down ? "crashed" : "stopped";
  return GamePaused() ? "paused" : "running";
}

// The name in the fleet: the option, else the game server's name, else the host's.
std::string SettleName() {
  std::string name = FleetName(Opts().fleetName);
  if (name.empty()) name = FleetName(Row(Setting::ServerName).text);
  if (name.empty()) name = FleetName(HostName());
  return name;
}

}  // namespace

bool FleetConfigured() {
  return !Opts().fleetConnInfo.empty();
}

void StartFleet() {
  if (!FleetConfigured()) return;
  FleetLink& link = *g_fleet;
  link.name = SettleName();
  LoadOutbox(link.outbox);
  link.backlogged = !link.outbox.empty();
  LoadCursor();
  link.step = Step::kWaiting;
  link.retryAt = 0;
  BeginConnect();
}

FleetWatch FleetDescriptor() {
  const FleetLink& link = *g_fleet;
  FleetWatch watch;
  if (link.conn == nullptr) return watch;
  if (link.step == Step::kConnecting) {
    watch.fd = PQsocket(link.conn);
    watch.read = !link.connectWrites;
    watch.write = link.connectWrites;
  } else if (link.step == Step::kReady) {
    watch.fd = PQsocket(link.conn);
    watch.read = true;
    // Work waiting for an idle link (a change made this pass) wakes the loop at
    // once through the writable socket, not at the end of select's wait.
    const bool work = link.query == Query::kNone &&
                      (!link.outbox.empty() || link.catchUpWanted || link.statusWanted);
    watch.write = link.flushing || work;
  }
  return watch;
}

void ServeFleet(bool readable, bool writable) {
  FleetLink& link = *g_fleet;
  switch (link.step) {
    case Step::kOff:
      return;
    case Step::kWaiting:
      if (Ms() >= link.retryAt) BeginConnect();
      return;
    case Step::kConnecting:
      ServeConnecting(readable, writable);
      return;
    case Step::kReady:
      ServeReady(readable);
      return;
  }
}

void WriteFleetStatus(int passSeconds) {
  FleetLink& link = *g_fleet;
  if (link.step == Step::kOff) return;
  const char* map = LastStatusValue("mapname");
  link.status = {link.name,
                 FleetText(HostName()),
                 std::to_string(Opts().listenPort),
                 FleetText(KELDOR_VERSION),
                 ServerState(),
                 FleetText(GameServer().monitoring && map != nullptr ? map : ""),
                 std::to_string(GameServer().monitoring ? PlayerCount() : 0),
                 std::to_string(Row(Setting::ServerMaxPlayers).current),
                 std::to_string(static_cast<long long>(link.lastCrash)),
                 std::to_string(passSeconds)};
  link.statusWanted = true;
}

void StopFleet() {
  g_fleet.Reset();
}

void FleetBanMade(const BanEntry& entry) {
  if (g_fleet->step == Step::kOff) return;
  FleetChange change{ChangeKind::kBan,
                     {NewFleetId(), g_fleet->name, FleetText(entry.admin), FleetText(entry.name),
                      Identifier(entry.address), Identifier(entry.keyhash), Identifier(entry.guid),
                      entry.start, entry.end, FleetText(entry.reason)}};
  QueueChange(std::move(change));
}

void FleetBanLifted(const BanLift& lift) {
  if (g_fleet->step == Step::kOff) return;
  FleetChange change{
      ChangeKind::kLift,
      {g_fleet->name, FleetText(lift.by), Identifier(lift.address), Identifier(lift.keyhash),
       Identifier(lift.guid), std::to_string(static_cast<long long>(lift.at))}};
  QueueChange(std::move(change));
}

void FleetAudit(const AuditRecord& r) {
  if (g_fleet->step == Step::kOff) return;
  FleetChange change{
      ChangeKind::kAction,
      {NewFleetId(), g_fleet->name, std::to_string(r.time), FleetText(r.admin), FleetText(r.player),
       FleetText(r.address), FleetText(r.keyhash), FleetText(r.guid), FleetText(r.map),
       FleetText(r.action), std::to_string(r.duration), FleetText(r.reason)}};
  QueueChange(std::move(change));
}

void FleetEvent(Event event, const char*) {
  if (event == Event::kServerCrashed) {
    g_fleet->lastCrash = Now();
    g_fleet->down = true;
  } else if (event == Event::kServerStarted || event == Event::kServerStopped) {
    g_fleet->down = false;
  }
}

}  // namespace keldor
