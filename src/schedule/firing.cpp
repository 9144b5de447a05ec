// The firing of scheduled events: which occurrences are due in a crash-watch
// pass, the warnings before them, deferral to the end of the game, and what a
// start or stop event does.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"
#include "runtime/alerting.h"
#include "runtime/game_server.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"
#include "schedule/scheduler.h"
#include "settings/settings.h"

namespace keldor {

namespace {

// How far back a late pass still fires what it missed: a pass that comes later
// than this (a suspended machine, a clock set forward) passes the older
// occurrences over instead of firing a backlog of restarts.
constexpr std::time_t kCatchUpSeconds = 600;
constexpr unsigned kRestartPauseSeconds = 3;

StateTable<PendingEvent> g_pending;
ServerControl g_control;  // wiring, not state: see ConnectSubsystems

// A local date (year, month, day, weekday) `days` days from the one of `t`.
std::tm LocalDate(std::time_t t, int days) {
  std::tm date{};
  localtime_r(&t, &date);
  date.tm_mday += days;
  date.tm_hour = 12;  // noon exists on every day, whatever the clocks do
  date.tm_min = 0;
  date.tm_sec = 0;
  date.tm_isdst = -1;
  const std::time_t noon = std::mktime(&date);
  localtime_r(&noon, &date);
  return date;
}

bool SameWallTime(std::time_t t, const std::tm& want) {
  std::tm got{};
  localtime_r(&t, &got);
  return got.tm_year == want.tm_year && got.tm_mon == want.tm_mon && got.tm_mday == want.tm_mday &&
         got.tm_hour == want.tm_hour && got.tm_min == want.tm_min && got.tm_sec == want.tm_sec;
}

// The moment the local clock shows `wall` (its date and time of day). A time
// that occurs twice (clocks set back) is its first moment; one that does not
// occur (clocks set forward) is the moment as many seconds after the change as
// it would have been after the old hour: 02:30 becomes 03:30.
std::time_t LocalInstant(const std::tm& wall) {
  std::time_t best = -1;
  for (int dst = 0; dst <= 1; ++dst) {
    std::tm t = wall;
    t.tm_isdst = dst;
    const std::time_t r = std::mktime(&t);
    if (r != -1 && SameWallTime(r, wall) && (best == -1 || r < best)) best = r;
  }
  if (best != -1) return best;
  std::tm t = wall;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

bool FiresOnWeekday(int code, int weekday) {
  if (code >= 2 && code <= 8) return weekday == code - 2;
  if (code == 9) return weekday != 0 && weekday != 6;
  if (code == 10) return weekday == 0 || weekday == 6;
  return true;  // daily
}

// The recurring event's occurrence on the local date `days` from `now`'s, or
// -1 when it does not fire on that day.
std::time_t OccurrenceOn(std::uint32_t stored, int code, std::time_t now, int days) {
  const std::tm date = LocalDate(now, days);
  if (!FiresOnWeekday(code, date.tm_wday)) return -1;
  const std::time_t storedTime = stored;
  std::tm wall{};
  localtime_r(&storedTime, &wall);
  wall.tm_year = date.tm_year;
  wall.tm_mon = date.tm_mon;
  wall.tm_mday = date.tm_mday;
  return LocalInstant(wall);
}

// The latest occurrence at or before `now` and the first one after it (-1 for none).
struct Occurrences {
  std::time_t last = -1;
  std::time_t next = -1;
};

Occurrences OccurrencesAround(const ScheduleEvent& e, int code, std::time_t now) {
  Occurrences o;
  if (code == 0) {
    (static_cast<std::time_t>(e.time) <= now ? o.last : o.next) = e.time;
    return o;
  }
  for (int days = -1; days <= 1; ++days) {
    const std::time_t t = OccurrenceOn(e.time, code, now, days);
    if (t == -1) continue;
    if (t <= now) o.last = std::max(o.last, t);
    if (t > now && (o.next == -1 || t < o.next)) o.next = t;
  }
  return o;
}

// Keldor's own word to the players: a server message, or chat with -noadmin.
void TellPlayers(bool start, const char* when) {
  char text[kJobTextMax + 1];
  std::snprintf(text, sizeof text, "%s Server is scheduled to %s %s", "[KELDOR]",
                start ? "restart" : "stop", when);
  QueueJob(Opts().adminMessages ? JOB_SERVER_MESSAGE : JOB_SAY_ALL, text, 0, 0);
}

void Warn(bool start, std::time_t diff) {
  if (diff > 120 && diff <= 180) TellPlayers(start, "in three minutes!");
  if (diff > 60 && diff <= 120) TellPlayers(start, "in two minutes!");
  if (diff > 0 && diff <= 60) TellPlayers(start, "in one minute or less!");
}

void LogDecision(std::size_t k, std::time_t now, std::time_t event, const char* result) {
  LogDebug("DEBUG: Event %i, clock=%lu, event=%lu, diff=%.0f, result=%s", static_cast<int>(k),
           static_cast<unsigned long>(now), static_cast<unsigned long>(event),
           std::difftime(event, now), result);
}

// The window of this pass: occurrences after the returned time and at or
// before `now` are due. Each moment belongs to one pass only, so nothing fires
// twice, and none is skipped between passes.
std::time_t WindowStart(std::time_t now) {
  std::time_t& checked = ScheduleCheckedUntil();
  std::time_t from;
  if (checked == 0) {
    from = now - Row(Setting::MonitorTimerPeriod).current;
  } else if (checked > now + kCatchUpSeconds) {
    from = now;  // the clock was set back far: go on from the new time
  } else {
    from = std::max(checked, now - kCatchUpSeconds);
  }
  checked = std::max(from, now);
  return from;
}

// The path with every link and "..", resolved; empty when it does not exist.
std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  const std::string resolved = real != nullptr ? real : "";
  std::free(real);
  return resolved;
}

bool NoFile(const std::string& named) {
  return named.empty() || named == "*";
}

// What an event may not name. Its settings file is applied with every right,
// so it may not be a file whose text a client of fewer rights writes (a line of
// announcements.con would otherwise change the console password); its map list
// is copied where clients of the Maps right read it, so it may not be a file
// that holds passwords.
enum class EventFile { kSettings, kMapList };

bool Forbidden(const std::string& name, EventFile kind) {
  static constexpr const char* kWrittenByClients[] = {
      "useraccess.con",     "announcements.con", "bannedwords.con", "serverbanlist.con",
      "serverschedule.con", "servermaplist.con", "playermenu.con",  "kicklist.con",
      "mods.con",           "maps.con"};
  static constexpr const char* kHoldingPasswords[] = {"useraccess.con", "servermanager.con",
                                                      "serverautoexec.con", "serversettings.con"};
  const auto named = [&](const auto& list) {
    return std::any_of(std::begin(list), std::end(list),
                       [&](const char* file) { return name == file; });
  };
  return kind == EventFile::kSettings ? named(kWrittenByClients) : named(kHoldingPasswords);
}

// An event's file must be a file in the settings directory (named by itself or
// by a path that leads there): events come from clients with the schedule
// right, and the file is read with Keldor's rights.
bool EventFilePath(const std::string& named, EventFile kind, std::string* path) {
  const std::string& dir = Opts().settingsDir;
  const std::string candidate = named[0] == '/' ? named : dir + "/" + named;
  const std::string resolved = RealPath(candidate);
  const std::string inside = RealPath(dir) + "/";
  struct stat st {};
  if (resolved.empty() || inside == "/" || stat(resolved.c_str(), &st) != 0) {
    ErrorCode() = ENOENT;
    return false;
  }
  if (!resolved.starts_with(inside) || !S_ISREG(st.st_mode) ||
      Forbidden(resolved.substr(inside.size()), kind)) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! Scheduled event names %s, which is not a file in the settings "
               "directory.",
               named.c_str());
    ErrorCode() = EACCES;
    return false;
  }
  *path = resolved;
  return true;
}

bool ApplyEventFiles(const ScheduleEvent& e) {
  std::string path;
  if (!NoFile(e.settingsFile)) {
    static const SettingsActor kOperator{"operator", "console"};
    if (!EventFilePath(e.settingsFile, EventFile::kSettings, &path) ||
        !ApplySettingsFile(path, -1, &kOperator)) {
      LogMessage(kLogInfo,
                 "Couldn't execute scheduled start event! Couldn't load the specified server "
                 "settings file %s.",
                 e.settingsFile.c_str());
      return false;
    }
  }
  if (NoFile(e.maplistFile)) return true;
  const std::string rotation = Opts().settingsDir + "/servermaplist.con";
  if (!EventFilePath(e.maplistFile, EventFile::kMapList, &path) ||
      (path != RealPath(rotation) && !CopyFile(path, rotation))) {
    LogMessage(kLogInfo,
               "Couldn't execute scheduled start event! Couldn't load the specified maplist "
               "file %s.",
               e.maplistFile.c_str());
    return false;
  }
  return true;
}

bool CallServer(bool (*operation)()) {
  return operation != nullptr && operation();
}

}  // namespace

void SetServerControl(ServerControl control) {
  g_control = control;
}

PendingEvent& PendingEndOfGameEvent() {
  return *g_pending;
}

bool CheckSchedule() {
  const std::time_t now = Now();
  const std::time_t from = WindowStart(now);
  bool fired = false;
  for (std::size_t k = 0; k < kMaxScheduleEvents && Schedule()[k].time != 0; ++k) {
    const ScheduleEvent& e = Schedule()[k];
    const int code = DayCode(e.days);
    if (e.enabled == 0 || code == -1) {
      LogDecision(k, now, e.time, "skipped");
      continue;
    }
    // An event fired earlier in this pass may have started or stopped the server.
    const bool supervised = GameServer().monitoring;
    const bool start = strncasecmp(e.action.c_str(), "start", 5) == 0;
    const bool wait = e.action.find("wait") != std::string::npos && supervised;
    const Occurrences o = OccurrencesAround(e, code, now);
    if (supervised && !wait && o.next != -1) Warn(start, o.next - now);
    if (o.last == -1 || o.last <= from) {
      LogDecision(k, now, o.next != -1 ? o.next : o.last, "skipped");
      continue;
    }
    if (!wait) {
      const std::uint32_t identity = e.time;
      FireEvent(identity);
      LogDecision(k, now, o.last, "fired");
      fired = true;
      continue;
    }
    *g_pending = PendingEvent{e.time, GameServer().pid, false};
    TellPlayers(start, "at the end of this game!");
    LogDecision(k, now, o.last, "deferred");
  }
  return fired;
}

bool FireEvent(std::time_t eventTime) {
  std::size_t k = 0;
  while (k < kMaxScheduleEvents && Schedule()[k].time != 0 && Schedule()[k].time != eventTime) ++k;
  if (k == kMaxScheduleEvents || Schedule()[k].time == 0) {
    LogMessage(kLogInfo, "Couldn't fire scheduled event! Event not found.");
    return false;
  }
  // A copy: applying the event's settings must not be able to change it under us.
  const ScheduleEvent e = Schedule()[k];
  if (strncasecmp(e.action.c_str(), "start", 5) == 0) {
    if (!ApplyEventFiles(e)) return false;
    if (GameServer().monitoring) {
      LogMessage(kLogInfo, "Restarting server per scheduled event.");
      CallServer(g_control.stop);
      SleepSeconds(kRestartPauseSeconds);
    } else {
      LogMessage(kLogInfo, "Starting server per scheduled event.");
    }
    if (CallServer(g_control.start)) {
      RaiseAlert({AlertKind::kStarted, "The schedule started the server.", {{"by", "schedule"}}});
    }
  } else {
    LogMessage(kLogInfo, "Stopping server per scheduled event.");
    if (CallServer(g_control.stop)) {
      RaiseAlert({AlertKind::kStopped, "The schedule stopped the server.", {{"by", "schedule"}}});
    }
  }
  const int code = DayCode(e.days);
  if (code == -1) return false;
  Schedule()[k].enabled = code == 0 ? 0 : 1;
  return true;
}

void NoteRoundEnded() {
  if (g_pending->time != 0) g_pending->roundEnded = true;
}

void FirePendingEvent() {
  PendingEvent& pending = *g_pending;
  const bool serverChanged = pending.time != 0 && pending.pid != GameServer().pid;
  if (!pending.roundEnded && !serverChanged) return;
  const std::uint32_t time = pending.time;
  pending = PendingEvent{};
  FireEvent(time);
}

}  // namespace keldor
