// Timed start, stop and restart events: the event table and serverschedule.con.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

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
// second each and the file is then rewritten. The numbers of the lines that
// held something but gave no event are added to `skippedLines` when given.
bool LoadSchedule(const std::string& path, std::vector<std::size_t>* skippedLines = nullptr);

bool SaveSchedule(const std::string& path);

// What firing an event needs of the process subsystem, which sits above this
// one: wiring, set at start-up; ResetAllState leaves it in place.
struct ServerControl {
  bool (*start)() = nullptr;
  bool (*stop)() = nullptr;
};
void SetServerControl(ServerControl control);

// Run first in every crash-watch pass: sends the warnings that are due and
// fires, in table order, every occurrence whose time has come since the last
// pass (each once). True when an event fired.
bool CheckSchedule();

// Carries out the event with that time (its identity).
bool FireEvent(std::time_t eventTime);

// Wall-clock time up to which occurrences have been looked at; 0 = none yet.
// The first load sets it, so that only what falls due while Keldor runs fires.
std::time_t& ScheduleCheckedUntil();

// A "wait" event deferred to the end of the current game, with the game
// server it was deferred for.
struct PendingEvent {
  std::uint32_t time = 0;  // 0 = none
  int pid = 0;
  bool roundEnded = false;
};
PendingEvent& PendingEndOfGameEvent();

// The monitor saw the round end: a pending event fires on its next pass.
void NoteRoundEnded();
// Fires the pending event once the round has ended or the server changed.
void FirePendingEvent();

// 0 once, 1 daily, 2..8 Sunday..Saturday, 9 weekdays, 10 weekends, -1 never.
int DayCode(const std::string& days);

}  // namespace keldor
