// The metrics: see metrics.h. Every value is read from the subsystem that owns
// it when the text is made; only the alert counters, the start time and the
// ban count's cache are kept here.
#include "alerts/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "alerts/alerts.h"
#include "bans/ban_store.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "gamelink/console.h"
#include "gamelink/player_table.h"
#include "gamelink/status_query.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";

// The ban list is counted again only when its file has changed.
struct BanListCount {
  bool known = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  long long entries = 0;
};

struct MetricsState {
  // Stamped when the tables are made (as the process starts) and at every reset.
  long long startedMs = MonotonicMilliseconds();
  std::uint64_t crashes = 0;
  std::uint64_t restarts = 0;
  std::uint64_t hangs = 0;
  std::uint64_t rollbacks = 0;
  bool writeFailing = false;  // the current run of failed writes has been logged
  BanListCount bans;
};

StateTable<MetricsState> g_metrics;

// Every sample names Keldor's port: several Keldors on one host (one per game
// server) write their files into the one directory the node exporter reads,
// which refuses two samples with the same name and labels.
std::string PortLabel() {
  return "port=\"" + std::to_string(Opts().listenPort) + "\"";
}

// One family: its HELP and TYPE lines, then its sample unless the value is unknown.
void Family(std::string& out, const char* name, const char* type, const char* help,
            const std::optional<std::string>& value, const std::string& labels = PortLabel()) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
  if (!value) return;
  out += name;
  out += '{';
  out += labels;
  out += "} ";
  out += *value;
  out += '\n';
}

void Gauge(std::string& out, const char* name, const char* help,
           const std::optional<std::string>& value, const std::string& labels = PortLabel()) {
  Family(out, name, "gauge", help, value, labels);
}

void Counter(std::string& out, const char* name, const char* help, std::uint64_t value) {
  Family(out, name, "counter", help, std::to_string(value));
}

std::string Flag(bool value) {
  return value ? "1" : "0";
}

std::string Seconds(long long milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", milliseconds / 1000, milliseconds % 1000);
  return text;
}

bool ServerRunning() {
  const GameServerFacts& server = GameServer();
  return server.monitoring && server.pid > 0 && !server.exited;
}

// A count from the game server's last status reply, while that reply is
// current; a value no game server can hold is left out rather than shown.
std::optional<std::string> ReportedCount(const char* key) {
  if (!ServerRunning() || !Console().connected || !StatusQueries().lastAnswered) return {};
  const char* text = LastStatusValue(key);
  if (text == nullptr) return {};
  const std::string_view digits(text);
  int value = -1;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || value < 0 ||
      static_cast<std::size_t>(value) > kMaxPlayers) {
    return {};
  }
  return std::to_string(value);
}

std::optional<std::string> LastLatency() {
  const StatusQueryRecord& record = StatusQueries();
  if (record.lastLatencyMs < 0) return {};
  return Seconds(record.lastLatencyMs);
}

long long ConnectedClients() {
  long long count = 0;
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) count += SlotInUse(slot);
  return count;
}

long long QueuedJobs() {
  long long count = 0;
  for (const QueuedCommand& job : JobQueue()) count += job.code != 0;
  return count;
}

bool SameFile(const BanListCount& cached, const struct stat& st) {
  return cached.known && cached.device == st.st_dev && cached.inode == st.st_ino &&
         cached.size == st.st_size && cached.modified.tv_sec == st.st_mtim.tv_sec &&
         cached.modified.tv_nsec == st.st_mtim.tv_nsec;
}

// The entries of Keldor's ban list; unknown when the file cannot be read.
// Only a regular file is opened: anything else in its place must not hold the loop.
std::optional<std::string> BanCount() {
  BanListCount& cached = g_metrics->bans;
  const std::string path = ServerBanListPath();
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    cached = BanListCount{};
    return errno == ENOENT ? std::optional<std::string>("0") : std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) return {};
  if (SameFile(cached, st)) return std::to_string(cached.entries);
  long long entries = 0;
  const bool read = ForEachLine(path, kBanLineMax, false, [&entries](std::string& line, bool cut) {
    BanEntry entry;
    entries += !cut && ParseBanEntry(line, entry);
    return true;
  });
  if (!read) {
    cached = BanListCount{};
    return {};
  }
  cached = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, entries};
  return std::to_string(entries);
}

std::string InfoLabels() {
  return PortLabel() + ",version=\"" + MetricsLabelValue(kRelease) + "\",server=\"" +
         MetricsLabelValue(Row(Setting::ServerName).text) + "\"";
}

// A new file gets kMetricsFileMode before anything is in it: ReplaceFile keeps
// the mode of the file it replaces, so Keldor's umask never narrows it, while
// a mode an operator chose for the file stays.
bool MakeReadable(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash))) {
    return false;
  }
  OwnedFd fd(
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kMetricsFileMode));
  if (fd.get() < 0) return errno == EEXIST || Fail(errno);
  return fchmod(fd.get(), kMetricsFileMode) == 0 || Fail(errno);
}

bool WriteMetrics(const std::string& path, const std::string& text) {
  return MakeReadable(path) && ReplaceFile(path, kMetricsFileMode, [&text](std::FILE* f) {
           return std::fwrite(text.data(), 1, text.size(), f) == text.size();
         });
}

}  // namespace

void CountAlert(const AlertReport& report) {
  MetricsState& m = *g_metrics;
  switch (report.kind) {
    case AlertKind::kCrashed:
      ++m.crashes;
      break;
    case AlertKind::kRestarted:
      ++m.restarts;
      break;
    case AlertKind::kHung:
      ++m.hangs;
      break;
    case AlertKind::kRollback:
      ++m.rollbacks;
      break;
    default:
      break;
  }
}

std::string MetricsLabelValue(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      escaped += kReplacementCharacter;
      text.remove_prefix(1);
      continue;
    }
    if (text[0] == '\\') {
      escaped += "\\\\";
    } else if (text[0] == '"') {
      escaped += "\\\"";
    } else if (text[0] == '\n') {
      escaped += "\\n";
    } else {
      escaped.append(text.data(), length);
    }
    text.remove_prefix(length);
  }
  return escaped;
}

std::string MetricsText() {
  const MetricsState& m = *g_metrics;
  const StatusQueryRecord& queries = StatusQueries();
  const AlertTally alerts = AlertCounts();
  std::string out;
  Gauge(out, "keldor_up", "Keldor is running (always 1: see keldor_metrics_timestamp_seconds).",
        "1");
  Gauge(out, "keldor_info", "Keldor's release and the game server's name.", "1", InfoLabels());
  Gauge(out, "keldor_uptime_seconds", "Seconds since Keldor started.",
        Seconds(MonotonicMilliseconds() - m.startedMs));
  Gauge(out, "keldor_metrics_timestamp_seconds",
        "When these values were taken, in seconds since the epoch.", std::to_string(Now()));
  Gauge(out, "keldor_server_running", "The game server's process is found and supervised.",
        Flag(ServerRunning()));
  Gauge(out, "keldor_players", "Players on the game server, by its last status reply.",
        ReportedCount("numplayers"));
  Gauge(out, "keldor_player_slots", "The game server's player limit, by its last status reply.",
        ReportedCount("maxplayers"));
  Counter(out, "keldor_server_crashes_total", "Times the game server crashed.", m.crashes);
  Counter(out, "keldor_server_restarts_total", "Times the game server was restarted after a crash.",
          m.restarts);
  Counter(out, "keldor_server_hangs_total", "Times the game server was taken for hung.", m.hangs);
  Counter(out, "keldor_rollbacks_total",
          "Uploads undone because the game server failed after them.", m.rollbacks);
  Gauge(out, "keldor_console_connected", "Keldor is logged in to the game's remote console.",
        Flag(Console().connected));
  Gauge(out, "keldor_status_query_answered", "The last status query was answered.",
        Flag(queries.lastAnswered));
  Gauge(out, "keldor_status_query_latency_seconds", "How long the last answered status query took.",
        LastLatency());
  Counter(out, "keldor_status_queries_total", "Status queries sent to the game server.",
          queries.queries);
  Counter(out, "keldor_status_answers_total", "Status queries the game server answered.",
          queries.answers);
  Gauge(out, "keldor_clients_connected", "Remote administrators logged in.",
        std::to_string(ConnectedClients()));
  Gauge(out, "keldor_jobs_queued", "Jobs waiting in Keldor's queue.", std::to_string(QueuedJobs()));
  Gauge(out, "keldor_bans", "Entries in Keldor's ban list.", BanCount());
  Counter(out, "keldor_alerts_sent_total", "Alert messages a webhook target accepted.",
          alerts.sent);
  Counter(out, "keldor_alerts_failed_total", "Alert deliveries that failed (each retry counts).",
          alerts.failed);
  Counter(out, "keldor_alerts_dropped_total",
          "Alert messages given up (retries spent, queue full, rate limit).", alerts.dropped);
  return out;
}

void WriteMetricsFile() {
  const std::string& path = Opts().metricsPath;
  if (path.empty()) return;
  MetricsState& m = *g_metrics;
  if (WriteMetrics(path, MetricsText())) {
    m.writeFailing = false;
    return;
  }
  if (m.writeFailing) return;
  m.writeFailing = true;
  LogMessage(kLogInfo, "Couldn't write metrics file %s! %s", path.c_str(), ErrorText(ErrorCode()));
}

}  // namespace keldor
