// Auto-announcements, run by JOB_ANNOUNCE once per crash-watch pass while the
// console link is up.
#include "schedule/announcements.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr std::size_t kAnnouncementLineMax = 1023;

struct AnnouncementState {
  int ticks = 0;     // crash-watch passes since the last announcement
  int nextLine = 1;  // 1-based line of the file to post next
};

StateTable<AnnouncementState> g_state;

}  // namespace

std::string DefaultAnnouncement() {
  return CutToWidth(std::string("*") + kVersionText + " server manager, from the Keldor project",
                    kMessagePieceMax);
}

bool AnnounceNext() {
  AnnouncementState& state = *g_state;
  ++state.ticks;
  if (state.ticks * Row(Setting::MonitorTimerPeriod).current <
      Row(Setting::AutoAnnouncePeriod).current) {
    return true;
  }
  const std::string path = Opts().settingsDir + "/announcements.con";
  EnsureFile(path, EnsureMode::kCreateIfMissing);
  std::string line;
  int number = 0;
  const auto findNext = [&](std::string& read, bool) {
    if (++number < state.nextLine) return true;
    line = read;
    return false;
  };
  // A line longer than a chat line is posted cut, and its tail is no line of its own.
  bool opened = false;
  if (!ForEachLine(path, kAnnouncementLineMax, true, findNext, &opened)) {
    if (opened) {
      LogMessage(kLogInfo, "Couldn't read announcements file! %s", ErrorText(ErrorCode()));
      return false;
    }
    LogMessage(kLogInfo, "Couldn't open announcements file! %s", ErrorText(ErrorCode()));
    Row(Setting::AutoAnnounce).current = 0;  // for this run; the saved setting stays
    LogMessage(kLogInfo, "Auto-announce has been disabled.");
    return false;
  }
  if (number == state.nextLine) {
    QueueJob(JOB_SAY_ALL, CutToWidth("*" + line, kMessagePieceMax).c_str(), 0, 0);
    ++state.nextLine;
  } else {
    QueueJob(JOB_SAY_ALL, DefaultAnnouncement().c_str(), 0, 0);
    state.nextLine = 1;
  }
  state.ticks = 0;
  return true;
}

}  // namespace keldor
