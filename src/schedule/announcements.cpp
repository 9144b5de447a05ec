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
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) {
    ErrorCode() = errno;
    LogMessage(kLogInfo, "Couldn't open announcements file! %s", ErrorText(ErrorCode()));
    Row(Setting::AutoAnnounce).current = 0;  // for this run; the saved setting stays
    LogMessage(kLogInfo, "Auto-announce has been disabled.");
    return false;
  }
  std::string line;
  bool found = false;
  for (int k = 1; k <= state.nextLine; ++k) {
    // A line longer than a chat line is posted cut, and its tail is no line of its own.
    const LineRead r = ReadTextLine(f, line, kAnnouncementLineMax, true);
    if (r == LineRead::kError) {
      ErrorCode() = errno != 0 ? errno : EIO;
      LogMessage(kLogInfo, "Couldn't read announcements file! %s", ErrorText(ErrorCode()));
      std::fclose(f);
      return false;
    }
    if (r == LineRead::kEnd) break;
    found = k == state.nextLine;
  }
  std::fclose(f);
  if (found) {
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
