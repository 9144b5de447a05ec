// Automatic kicks and bans: see policing.h.
#include "policing/policing.h"

#include <strings.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"
#include "gamelink/console.h"
#include "gamelink/player_table.h"
#include "gamelink/status_query.h"
#include "policing/admin_log.h"
#include "policing/banned_words.h"
#include "runtime/alerting.h"
#include "runtime/events.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr int kPingWarnings = 3;
constexpr std::size_t kKickListLineMax = 1023;
constexpr const char* kTag = "[KELDOR]";

// Consecutive high-ping passes, per player. The game reuses ids, so each count
// also remembers whose it is: a newcomer with a departed player's id starts at
// zero instead of inheriting a count that would get them kicked early.
struct PingCount {
  int id = -1;
  std::string name;
  std::uint8_t passes = 0;
};
using PingCounts = std::array<PingCount, kMaxPlayers>;
StateTable<PingCounts> g_pingCounts;

PingCount& PingCountFor(int id, const std::string& name) {
  PingCounts& counts = *g_pingCounts;
  PingCount* free = nullptr;
  for (PingCount& count : counts) {
    if (count.id == id) {
      if (count.name != name) count = PingCount{id, name, 0};
      return count;
    }
    if (free == nullptr && (count.id < 0 || count.passes == 0)) free = &count;
  }
  // A place whose count is zero holds nothing worth keeping.
  if (free == nullptr) free = &counts[static_cast<std::size_t>(id) % counts.size()];
  *free = PingCount{id, name, 0};
  return *free;
}

// The working copy of one player's fields: a chat handler that runs while we
// announce may change the table under us.
struct Suspect {
  std::string name, ip, keyhash, guid, score, ping;
  int id = 0;
};

// The admin log's line and the alert. The alert leaves the player's address
// and key hash out: webhook targets are often other people's services.
void Record(const Suspect& p, const char* action, const char* reason) {
  LogAdminAction(p.name.c_str(), p.ip.c_str(), p.keyhash.c_str(), p.guid.c_str(), "auto",
                 static_cast<std::uint32_t>(Now()), LastStatusValue("mapname"), action, 0, reason);
  const bool ban = std::strcmp(action, "ban") == 0;
  RaiseAlert({ban ? AlertKind::kAutoBan : AlertKind::kAutoKick,
              p.name + (ban ? " was banned automatically: " : " was kicked automatically: ") +
                  reason + ".",
              {{"player", p.name}, {"reason", reason}}});
}

void QueueKick(int id) {
  char command[48];
  std::snprintf(command, sizeof command, "admin.kickPlayer %i", id);
  QueueJob(JOB_CONSOLE_COMMAND, command, 0, KickDelay());
}

void KickForName(const Suspect& p) {
  QueueKick(p.id);
  MessagePlayers("%s Kicking %s for banned word in player name", kTag, p.name.c_str());
  Report(Event::kAutoKickWord, p.name.c_str());
  LogMessage(kLogInfo, "Auto-kicked %s (%s) at %s for banned word in player name.", p.name.c_str(),
             p.keyhash.c_str(), p.ip.c_str());
  Record(p, "kick", "banned word in name");
}

void PunishScore(const Suspect& p) {
  if (Row(Setting::AutoBan).current != 0 && AutoBan(p.ip.c_str(), p.keyhash.c_str())) {
    char text[kJobTextMax + 1];
    std::snprintf(text, sizeof text, "%i\xff%s\xff%s\xff%s\xff%s\xff%i\xff%s\xff", p.id,
                  p.name.c_str(), p.ip.c_str(), p.keyhash.c_str(), p.guid.c_str(), 0,
                  "Banned for too many minus-score kicks.");
    QueueJob(JOB_BAN_PLAYER, text, 0, KickDelay());
    MessagePlayers("%s Banned %s for too many minus-score kicks", kTag, p.name.c_str());
    Report(Event::kAutoBanScore, p.name.c_str());
    Report(Event::kBansChanged);
    LogMessage(kLogInfo, "Auto-banned %s (%s) at %s for minus-score (%s).", p.name.c_str(),
               p.keyhash.c_str(), p.ip.c_str(), p.score.c_str());
    Record(p, "ban", "minus-score");
    return;
  }
  QueueKick(p.id);
  MessagePlayers("%s Kicking %s for minus-score", kTag, p.name.c_str());
  Report(Event::kAutoKickScore, p.name.c_str());
  LogMessage(kLogInfo, "Auto-kicked %s (%s) at %s for minus-score (%s).", p.name.c_str(),
             p.keyhash.c_str(), p.ip.c_str(), p.score.c_str());
  Record(p, "kick", "minus-score");
}

// True when the player was kicked for high ping in this pass.
bool WatchPing(const Suspect& p) {
  const long limit = Row(Setting::AutoKickPingValue).current;
  PingCount& count = PingCountFor(p.id, p.name);
  if (std::atol(CutToWidth(p.ping, 5).c_str()) < limit) {
    count.passes = 0;
    return false;
  }
  if (count.passes < kPingWarnings) {
    ++count.passes;
    if (Row(Setting::HighPingWarnings).current != 0) {
      MessagePlayers("%s Player %s ping %s exceeds maximum of %lu for %i times", kTag,
                     p.name.c_str(), p.ping.c_str(), static_cast<unsigned long>(limit),
                     static_cast<int>(count.passes));
    }
    return false;
  }
  count.passes = 0;
  QueueKick(p.id);
  MessagePlayers("%s Kicking %s for high-ping", kTag, p.name.c_str());
  Report(Event::kAutoKickPing, p.name.c_str());
  LogMessage(kLogInfo, "Auto-kicked %s (%s) at %s for high-ping (%s).", p.name.c_str(),
             p.keyhash.c_str(), p.ip.c_str(), p.ping.c_str());
  Record(p, "kick", "high-ping");
  return true;
}

// Applies the first rule that fires; true when the player was kicked or banned.
bool Police(const Suspect& p) {
  if (Row(Setting::AutoKickWord).current != 0) {
    // The test lower-cases what it is given; messages show the name as listed.
    std::string lowered = p.name;
    if (ContainsBannedWord(lowered)) {
      KickForName(p);
      return true;
    }
  }
  if (Row(Setting::AutoKickScore).current != 0 &&
      std::atol(CutToWidth(p.score, 4).c_str()) <= -Row(Setting::AutoKickScoreValue).current) {
    PunishScore(p);
    return true;
  }
  return Row(Setting::AutoKickPing).current != 0 && WatchPing(p);
}

// How many lines of kicklist.con equal `identity`; false (logged) when it cannot be read.
bool CountKicks(const std::string& identity, int& count) {
  const std::string path = KickListPath();
  const auto countLine = [&](std::string& line, bool) {
    if (line == identity) ++count;
    return true;
  };
  bool opened = false;
  count = 0;
  const bool read = EnsureFile(path, EnsureMode::kCreateIfMissing) &&
                    ForEachLine(path, kKickListLineMax, true, countLine, &opened);
  if (!read) {
    LogMessage(kLogInfo,
               opened ? "Couldn't read KickList.con! %s" : "Couldn't open KickList.con! %s",
               ErrorText(ErrorCode()));
  }
  return read;
}

}  // namespace

std::string KickListPath() {
  return Opts().settingsDir + "/kicklist.con";
}

bool AutoBan(const char* ip, const char* keyhash) {
  if (ip == nullptr || keyhash == nullptr) return false;
  const bool internet = Row(Setting::ServerInternet).current != 0;
  const std::string identity = internet ? keyhash : ip;
  // An empty identity would count every empty line: it is as unknown as "[unknown]".
  if (identity.empty() || strcasecmp(identity.c_str(), "[unknown]") == 0) {
    LogMessage(kLogInfo, internet ? "DEBUG: AutoBan: Player keyhash is unknown, kick ignored."
                                  : "DEBUG: AutoBan: Player address is unknown, kick ignored.");
    return false;
  }
  int kicks = 0;
  if (!CountKicks(identity, kicks)) return false;
  if (kicks + 1 >= Row(Setting::AutoBanValue).current) return true;
  if (!AppendWhole(KickListPath(), identity + "\n")) {
    LogMessage(kLogInfo, "Couldn't write KickList.con! %s", ErrorText(ErrorCode()));
  }
  return false;
}

bool PolicePlayers() {
  if (Console().connected && !GetPlayerList()) {
    LogMessage(kLogInfo, "Couldn't update player list!");
  }
  PlayerTable& table = Players();
  for (std::size_t place = 0; place < kMaxPlayers && !table.records[place].name.empty();) {
    const PlayerRecord& record = table.records[place];
    const Suspect p{record.name,  record.ip,   record.keyhash, record.pbGuid,
                    record.score, record.ping, record.id};
    // A kicked player's record goes, and the same place then holds the next one.
    if (Police(p)) {
      RemovePlayerById(p.id);
    } else {
      ++place;
    }
  }
  return true;
}

}  // namespace keldor
