// The fleet's outbox file: see outbox.h.
#include "fleet/outbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "runtime/options.h"

namespace keldor {

std::string OutboxPath() {
  return Opts().settingsDir + "/fleetoutbox.con";
}

void LoadOutbox(std::deque<FleetChange>& changes) {
  changes.clear();
  const std::string path = OutboxPath();
  const FileHandle in(std::fopen(path.c_str(), "r"));
  if (!in) return;  // nothing waits
  std::size_t dropped = 0;
  ForEachLine(in.get(), kFleetLineMax, false, [&](std::string& line, bool cut) {
    FleetChange change;
    if (cut || !DecodeChange(line, change) || changes.size() >= kOutboxMax) {
      ++dropped;
      return true;
    }
    changes.push_back(std::move(change));
    return true;
  });
  if (dropped != 0) {
    LogMessage(kLogInfo, "Dropped %zu unreadable line(s) of %s.", dropped, path.c_str());
  }
}

bool AppendToOutbox(const FleetChange& change) {
  const std::string path = OutboxPath();
  const OwnedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  const std::string line = EncodeChange(change) + "\n";
  if (fd.get() < 0 ||
      write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
      fdatasync(fd.get()) != 0) {
    LogMessage(kLogInfo, "Couldn't write %s! %s", path.c_str(), ErrorText(errno));
    return false;
  }
  return true;
}

bool RewriteOutbox(const std::deque<FleetChange>& changes) {
  const std::string path = OutboxPath();
  if (changes.empty()) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    LogMessage(kLogInfo, "Couldn't delete %s! %s", path.c_str(), ErrorText(errno));
    return false;
  }
  const bool written = ReplaceFile(path, 0600, [&](std::FILE* out) {
    for (const FleetChange& change : changes) {
      if (std::fputs((EncodeChange(change) + "\n").c_str(), out) < 0) return false;
    }
    return true;
  });
  if (!written) LogMessage(kLogInfo, "Couldn't write %s! %s", path.c_str(), ErrorText(ErrorCode()));
  return written;
}

}  // namespace keldor
