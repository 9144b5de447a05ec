// The event table and its file serverschedule.con; firing.cpp fires its events.
#include "schedule/scheduler.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "runtime/events.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"
#include "wire/protocol.h"

namespace keldor {

namespace {

constexpr int kEventFields = 6;

StateTable<ScheduleTable> g_table;
ScheduleTable& g_schedule = *g_table;
StateTable<std::time_t> g_checkedUntil;

// The next run of characters not in `delimiters`, skipping leading ones (so two
// commas in a row make no empty field); false when nothing is left.
bool NextField(const std::string& line, std::size_t* pos, const char* delimiters,
               std::string* field) {
  const std::size_t start = line.find_first_not_of(delimiters, *pos);
  if (start == std::string::npos) return false;
  const std::size_t end = line.find_first_of(delimiters, start);
  *field = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
  *pos = end == std::string::npos ? line.size() : end + 1;
  return true;
}

bool SplitEventLine(const std::string& line, std::array<std::string, kEventFields>* fields) {
  std::size_t pos = 0;
  for (int k = 0; k < kEventFields - 1; ++k) {
    if (!NextField(line, &pos, ",", &(*fields)[k])) return false;
  }
  return NextField(line, &pos, "\n", &(*fields)[kEventFields - 1]);
}

// The event time: decimal digits within 32 bits and not 0, since 0 ends the table.
bool ParseEventTime(const std::string& field, std::uint32_t* time) {
  std::uint64_t value = 0;
  std::size_t k = 0;
  for (; k < field.size() && field[k] >= '0' && field[k] <= '9'; ++k) {
    value = value * 10 + static_cast<std::uint64_t>(field[k] - '0');
    if (value > UINT32_MAX) return false;
  }
  if (k == 0 || value == 0) return false;
  *time = static_cast<std::uint32_t>(value);
  return true;
}

bool TimeTaken(std::uint32_t time, std::size_t loaded) {
  for (std::size_t k = 0; k < loaded; ++k) {
    if (g_schedule[k].time == time) return true;
  }
  return false;
}

std::int32_t ParseEnabled(const std::string& field) {
  const long value = std::strtol(field.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

void LogOpenFailure() {
  LogMessage(kLogInfo, "Couldn't open event schedule file! %s", ErrorText(ErrorCode()));
}

const char* PathOrStar(const std::string& path) {
  return path.empty() ? "*" : path.c_str();
}

}  // namespace

ScheduleTable& Schedule() {
  return g_schedule;
}

std::time_t& ScheduleCheckedUntil() {
  return *g_checkedUntil;
}

bool LoadSchedule(const std::string& path, std::vector<std::size_t>* skippedLines) {
  const FileHandle f(std::fopen(path.c_str(), "r"));
  if (!f) {
    ErrorCode() = errno;
    LogOpenFailure();
    return false;
  }
  g_schedule = ScheduleTable{};
  if (*g_checkedUntil == 0) *g_checkedUntil = Now();

  std::size_t loaded = 0;
  std::size_t number = 0;
  int skipped = 0;
  bool changed = false;
  bool full = false;
  // Every line that holds something but is not in the table, for the uploader.
  auto skip = [&] {
    ++skipped;
    if (skippedLines != nullptr) skippedLines->push_back(number);
  };
  std::array<std::string, kEventFields> fields;
  const auto takeLine = [&](std::string& line, bool cut) {
    ++number;
    if (cut) {
      LogMessage(kLogInfo, "WARNING: Skipped line %zu of %s, which holds more than %zu characters.",
                 number, path.c_str(), kScheduleLineMax);
      skip();
      return true;
    }
    if (line.find_first_not_of(" \t\r") == std::string::npos) return true;
    ScheduleEvent event;
    if (!SplitEventLine(line, &fields) || !ParseEventTime(fields[0], &event.time)) {
      LogMessage(kLogInfo, "WARNING: Skipped a malformed event on line %zu of %s.", number,
                 path.c_str());
      skip();
      return true;
    }
    if (loaded == kMaxScheduleEvents) {
      // Read on, so that every line left out is reported; the warning once.
      if (!full) {
        LogMessage(kLogInfo,
                   "WARNING: %s holds more than %zu events; the rest, from line %zu, are not "
                   "loaded.",
                   path.c_str(), kMaxScheduleEvents, number);
      }
      full = true;
      skip();
      return true;
    }
    // The time is the event's identity: a duplicate moves on to the next free second.
    while (TimeTaken(event.time, loaded) && event.time != 0) {
      ++event.time;
      changed = true;
    }
    if (event.time == 0) {
      LogMessage(kLogInfo, "WARNING: Skipped the event on line %zu of %s: no free time is left.",
                 number, path.c_str());
      skip();
      return true;
    }
    event.action = CutToWidth(fields[1], kEventActionMax);
    event.days = CutToWidth(fields[2], kEventDaysMax);
    event.settingsFile = CutToWidth(fields[3], kPathMax);
    event.maplistFile = CutToWidth(fields[4], kPathMax);
    event.enabled = ParseEnabled(fields[5]);
    g_schedule[loaded++] = std::move(event);
    return true;
  };
  if (!ForEachLine(f.get(), kScheduleLineMax, false, takeLine)) {
    LogMessage(kLogInfo, "Couldn't read event schedule file! %s", ErrorText(ErrorCode()));
    return false;
  }
  if (!changed) return true;
  if (skipped > 0) {
    // Rewriting from the table would drop the lines it could not take.
    LogMessage(kLogInfo,
               "WARNING: %s holds events with the same time but is not rewritten, as %i of its "
               "lines could not be loaded.",
               path.c_str(), skipped);
  } else {
    SaveSchedule(path);
  }
  // Every client fetches the schedule again, in the order of the queued work.
  Report(Event::kScheduleChanged);
  return true;
}

bool SaveSchedule(const std::string& path) {
  // Replaced in one step: a crash while saving leaves the old schedule, never half of one.
  const bool saved = ReplaceFile(path, [](std::FILE* f) {
    for (std::size_t k = 0; k < kMaxScheduleEvents && g_schedule[k].time != 0; ++k) {
      const ScheduleEvent& e = g_schedule[k];
      std::fprintf(f, "%lu,%s,%s,%s,%s,%i\n", static_cast<unsigned long>(e.time), e.action.c_str(),
                   e.days.c_str(), PathOrStar(e.settingsFile), PathOrStar(e.maplistFile),
                   static_cast<int>(e.enabled));
    }
    return std::ferror(f) == 0;
  });
  if (!saved) {
    LogMessage(kLogInfo, "Couldn't write event schedule file! %s", ErrorText(ErrorCode()));
    return false;
  }
  return true;
}

int DayCode(const std::string& days) {
  struct Keyword {
    const char* text;
    int code;
  };
  static constexpr Keyword kKeywords[] = {
      {"none", 0}, {"daily", 1}, {"mon", 3}, {"tue", 4},      {"wed", 5},       {"thu", 6},
      {"fri", 7},  {"sat", 8},   {"sun", 2}, {"weekdays", 9}, {"weekends", 10},
  };
  for (const Keyword& k : kKeywords) {
    if (strncasecmp(days.c_str(), k.text, std::char_traits<char>::length(k.text)) == 0) {
      return k.code;
    }
  }
  return -1;
}

}  // namespace keldor
