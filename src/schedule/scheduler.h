// Timed start, stop and restart events: the event table and serverschedule.con.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace keldor {

constexpr std::size_t kMaxScheduleEvents = 64;
constexpr std::size_t kEventActionMax = 19;
constexpr std::size_t kEventDaysMax = 15;
constexpr std::size_t kScheduleLineMax = 1023;

struct ScheduleEvent {
  // Seconds since 1970 UTC; also the event's identity. 0 ends the table.
  std::uint32_t time = 0;
  std::string action;        // "start..." starts or restarts, anything else stops; "wait" defers
  std::string days;          // a DayCode keyword
  std::string settingsFile;  // applied by a start event; "*" for none
  std::string maplistFile;   // copied over servermaplist.con by a start event; "*" for none
  std::int32_t enabled = 0;
};

using ScheduleTable = std::array<ScheduleEvent, kMaxScheduleEvents>;

ScheduleTable& Schedule();

// Replaces the table with the file's events; duplicate times are moved on by a
// second each and the file is then rewritten.
bool LoadSchedule(const std::string& path);

bool SaveSchedule(const std::string& path);

// 0 once, 1 daily, 2..8 Sunday..Saturday, 9 weekdays, 10 weekends, -1 never.
int DayCode(const std::string& days);

}  // namespace keldor
