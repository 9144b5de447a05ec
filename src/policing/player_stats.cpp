// The player statistics log: see player_stats.h.
#include "policing/player_stats.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "gamelink/player_table.h"
#include "gamelink/status_query.h"
#include "policing/admin_log.h"
#include "settings/output_file.h"

namespace keldor {

namespace {

constexpr int kErrMissingValue = 22;
constexpr const char* kUnknown = "[unknown]";

// The status value of `key` cut to `width`, or false when the reply lacks it.
bool Value(const std::string& reply, const std::string& key, std::size_t width, std::string& out) {
  const char* value = StatusValue(reply.c_str(), key.c_str());
  if (value == nullptr) return false;
  out = CutToWidth(value, width);
  return true;
}

std::string ValueOr(const std::string& reply, const char* key, std::size_t width,
                    const char* missing) {
  std::string out;
  return Value(reply, key, width, out) ? out : missing;
}

const PlayerRecord* RecordNamed(const std::string& name) {
  for (const PlayerRecord& record : Players().records) {
    if (record.name.empty()) break;
    if (record.name == name) return &record;
  }
  return nullptr;
}

bool Missing(const char* debugLine) {
  LogDebug("%s", debugLine);
  return Fail(kErrMissingValue);
}

bool WriteRoundLine(std::FILE* file, const std::string& reply) {
  struct Field {
    const char* key;
    std::size_t width;
    const char* missing;
  };
  static constexpr Field kFields[] = {
      {"hostname", 63, "DEBUG: LogPlayerStats: Couldn't get \"hostname\"!"},
      {"mapname", 63, "DEBUG: LogPlayerStats: Couldn't get \"mapname\"!"},
      {"gametype", 31, "DEBUG: LogPlayerStats: Couldn't get \"gametype\"!"},
      {"number_of_rounds", 4, "DEBUG: LogPlayerStats: Couldn't get \"number_of_rounds\"!"},
      {"timelimit", 9, "DEBUG: LogPlayerStats: Couldn't get \"roundTime\"!"},
  };
  std::string values[5];
  for (int i = 0; i < 5; ++i) {
    if (!Value(reply, kFields[i].key, kFields[i].width, values[i])) {
      return Missing(kFields[i].missing);
    }
  }
  const std::time_t now = Now();
  std::tm local{};
  localtime_r(&now, &local);
  char date[32], time[32];
  std::strftime(date, sizeof date, "%F", &local);
  std::strftime(time, sizeof time, "%H:%M:%S", &local);
  std::fprintf(file, "%s,%s,%s,%s,%s,%s,%s,%s,%s\n", date, time, CsvQuoted(values[0]).c_str(),
               CsvPlain(values[1]).c_str(), CsvPlain(values[2]).c_str(),
               CsvPlain(values[3]).c_str(), CsvPlain(values[4]).c_str(),
               CsvPlain(ValueOr(reply, "tickets1", 15, "???")).c_str(),
               CsvPlain(ValueOr(reply, "tickets2", 15, "???")).c_str());
  return true;
}

// team_%i: 1 and 2 are the reply's team names, anything else "unknown".
std::string TeamName(const std::string& number, const std::string (&names)[2]) {
  const int team = std::atoi(number.c_str());
  if (team == 1 || team == 2) return CutToWidth(names[team - 1], 9);
  return "unknown";
}

bool WritePlayerLines(std::FILE* file, const std::string& reply, int count) {
  std::string teams[2];
  if (!Value(reply, "team_t0", 1023, teams[0])) {
    return Missing("DEBUG: LogPlayerStats: Couldn't get \"teamname_0\"!");
  }
  if (!Value(reply, "team_t1", 1023, teams[1])) {
    return Missing("DEBUG: LogPlayerStats: Couldn't get \"teamname_1\"!");
  }
  static constexpr const char* kKeys[] = {"player", "team", "score", "kills", "deaths", "ping"};
  static constexpr std::size_t kWidths[] = {31, 1023, 4, 4, 4, 5};
  for (int i = 0; i < count; ++i) {
    std::string v[6];
    for (int k = 0; k < 6; ++k) {
      const std::string key = std::string(kKeys[k]) + "_" + std::to_string(i);
      if (!Value(reply, key, kWidths[k], v[k])) {
        LogDebug("DEBUG: LogPlayerStats: Couldn't get \"%s\"!", key.c_str());
        return Fail(kErrMissingValue);
      }
    }
    const PlayerRecord* record = RecordNamed(v[0]);
    // Bots have an empty key hash: as unknown as a missing one.
    std::string keyhash = ValueOr(reply, ("keyhash_" + std::to_string(i)).c_str(), 32, kUnknown);
    if (keyhash.empty()) keyhash = kUnknown;
    std::fprintf(file, "%s,%s,%s,%s,%s,%s,%s,%s,%s\n", CsvQuoted(v[0]).c_str(),
                 CsvPlain(TeamName(v[1], teams)).c_str(), CsvPlain(v[2]).c_str(),
                 CsvPlain(v[3]).c_str(), CsvPlain(v[4]).c_str(), CsvPlain(v[5]).c_str(),
                 CsvPlain(record != nullptr ? record->ip : kUnknown).c_str(),
                 CsvPlain(keyhash).c_str(),
                 CsvPlain(record != nullptr ? record->pbGuid : kUnknown).c_str());
  }
  return true;
}

}  // namespace

bool LogPlayerStats(const std::string& value, bool* wrote) {
  if (wrote != nullptr) *wrote = false;
  std::string path;
  if (!ResolveOutputFile(value, &path)) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! Player stats are not written to %s: it is not a CSV file of "
               "Keldor's own in %s.",
               value.c_str(), LogDirectory().c_str());
    return false;
  }
  const char* status = QueryStatus(StatusPort(), "\\status\\");
  if (status == nullptr) {
    LogDebug("DEBUG: LogPlayerStats: Couldn't get server status!");
    return false;
  }
  const std::string reply = status;
  std::string players;
  if (!Value(reply, "numplayers", 1023, players)) {
    LogDebug("DEBUG: LogPlayerStats: Couldn't get \"numplayers\"!");
    return Fail(kErrMissingValue);
  }
  const int count = std::atoi(players.c_str());
  if (count <= 0) return Fail(0);
  // The round's lines are gathered first and appended with one write, so that
  // a crash or a full disk cannot leave half a line among the records.
  char* block = nullptr;
  std::size_t blockSize = 0;
  FileHandle file(open_memstream(&block, &blockSize));
  if (!file) return Fail(errno);
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || st.st_size == 0) {
    std::fputs(
        "date,time,server,map,gamemode,rounds,timelimit,axis_tickets,allied_tickets\n"
        "player,team,score,kills,deaths,ping,ip,keyhash,pbguid\n",
        file.get());
  }
  // What the writers wrote until a value was missing is appended all the same,
  // as a round is not logged twice.
  const bool roundLine = WriteRoundLine(file.get(), reply);
  const bool whole = roundLine && WritePlayerLines(file.get(), reply, count);
  file.reset();  // sets block and blockSize
  const int missing = ErrorCode();
  const std::string lines(block != nullptr ? block : "", blockSize);
  std::free(block);
  if (!roundLine) return false;
  // Checked again as it is opened: a link planted since the name was taken is refused.
  if (!AppendToOutputFile(path, lines)) {
    LogMessage(kLogInfo, "Couldn't open CSV log file! %s", ErrorText(ErrorCode()));
    return false;
  }
  if (wrote != nullptr) *wrote = true;
  return whole || Fail(missing);
}

}  // namespace keldor
