// The kick of a player on an administrator's word (a client's request or an
// in-game admin's menu entry); Keldor's own kicks are the policing pass's.
#pragma once

#include <string>

#include "runtime/job_queue.h"

namespace keldor {

// Kicks the player named by `request`, "ID" or "ID,REASON" (the reason may be
// empty), over the console; logs the kick and writes its admin-log record. The
// kicked player's name (as the player table knows it) in `kicked`. False when
// the id is no number or the game refused, with a log line.
bool KickPlayer(const Actor& actor, const std::string& request, std::string& kicked);

}  // namespace keldor
