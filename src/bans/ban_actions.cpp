// Bans, their lifting and the ban lists' sync on an administrator's word: see
// ban_actions.h.
#include "bans/ban_actions.h"

#include <climits>
#include <cstdint>
#include <ctime>
#include <vector>

#include "bans/ban_store.h"
#include "bans/ban_sync.h"
#include "bans/game_lists.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/status_query.h"
#include "policing/admin_log.h"
#include "runtime/alerting.h"
#include "runtime/audit.h"

namespace keldor {

namespace {

constexpr std::size_t kBanFields = 7;

// ctime's text, its line end included.
std::string TimeText(std::time_t t) {
  const char* text = std::ctime(&t);
  return text == nullptr ? "[unknown]\n" : text;
}

struct BanRequest {
  int id = -1;
  std::string name, address, keyhash, guid, reason;
  std::uint32_t duration = 0;
};

// Six fields must each be there with their end byte; the reason may have lost
// its end byte when the text was cut to the job's width.
bool ParseBan(const std::string& text, BanRequest& ban) {
  const std::vector<std::string> fields = Split(text, kBanFieldEnd);
  if (fields.size() < kBanFields) return false;
  long long id = 0, duration = 0;
  if (!ParseJobNumber(fields[0], INT_MIN, INT_MAX, id)) return false;
  if (!ParseJobNumber(fields[5], 0, UINT32_MAX, duration)) return false;
  ban.id = static_cast<int>(id);
  ban.name = fields[1];
  ban.address = fields[2];
  ban.keyhash = fields[3];
  ban.guid = fields[4];
  ban.duration = static_cast<std::uint32_t>(duration);
  ban.reason = fields[6];
  return true;
}

void LogBan(const Actor& actor, const BanRequest& ban, std::time_t end) {
  if (end != 0) {
    LogMessage(kLogInfo, "User %s at %s banned player %s (%s) until %sfor %s.", actor.name.c_str(),
               actor.address.c_str(), ban.name.c_str(), ban.keyhash.c_str(), TimeText(end).c_str(),
               ban.reason.c_str());
  } else {
    LogMessage(kLogInfo, "User %s at %s banned player %s (%s) permanently for %s.",
               actor.name.c_str(), actor.address.c_str(), ban.name.c_str(), ban.keyhash.c_str(),
               ban.reason.c_str());
  }
}

}  // namespace

bool BanPlayer(const Actor& actor, const std::string& request, std::string& banned) {
  BanRequest ban;
  if (!ParseBan(request, ban)) {
    LogMessage(kLogInfo, "Couldn't ban player! The ban lacks a field.");
    return false;
  }
  LogDebug("DEBUG: Banned player id %i.", ban.id);
  const std::time_t start = Now();
  const std::time_t end = ban.duration != 0 ? start + ban.duration : 0;
  BanEntry recorded;
  if (!AddBan(ban.name, ban.id, ban.address, ban.keyhash, ban.guid, actor.name, start, end,
              ban.reason, &recorded)) {
    LogMessage(kLogInfo, "Couldn't ban player %s! The command failed.", ban.name.c_str());
    return false;
  }
  LogBan(actor, ban, end);
  LogAdminAction(ban.name.c_str(), ban.address.c_str(), ban.keyhash.c_str(), ban.guid.c_str(),
                 actor.name.c_str(), static_cast<std::uint32_t>(start), LastStatusValue("mapname"),
                 "ban", ban.duration, ban.reason.c_str());
  TellBanMade(recorded);
  // Keldor's own bans (no actor) were alerted where policing decided them.
  if (!actor.name.empty()) {
    RaiseAlert({AlertKind::kBan,
                ban.name + " was banned by " + actor.name +
                    (ban.reason.empty() ? std::string(".") : ": " + ban.reason + "."),
                {{"player", ban.name},
                 {"by", actor.name},
                 {"reason", ban.reason},
                 {"duration", std::to_string(ban.duration)}}});
  }
  banned = ban.name;
  return true;
}

bool LiftBan(const Actor& actor, const std::string& request, std::string& lifted) {
  std::vector<std::string> fields = Split(request, ',');
  fields.resize(4);
  if (!RemoveBan(fields[0], fields[1], fields[2], fields[3])) return false;
  LogMessage(kLogInfo, "User %s at %s removed ban on player %s (%s).", actor.name.c_str(),
             actor.address.c_str(), fields[0].c_str(), fields[2].c_str());
  const std::time_t now = Now();
  TellBanLifted(
      {actor.name, Identifier(fields[1]), Identifier(fields[2]), Identifier(fields[3]), now});
  const char* map = LastStatusValue("mapname");
  AuditRecord record{fields[0],
                     fields[1],
                     fields[2],
                     fields[3],
                     actor.name,
                     static_cast<std::uint32_t>(now),
                     map != nullptr ? map : "",
                     "unban",
                     0,
                     ""};
  Audit(record);
  lifted = fields[0];
  return true;
}

bool CheckBanSync(const Actor& actor) {
  LogMessage(kLogInfo, "User %s at %s commanded a banlist sync verification.", actor.name.c_str(),
             actor.address.c_str());
  const bool inSync = VerifyBanSync();
  LogMessage(kLogInfo, inSync ? "The Keldor banlist is synchronised with the server banlist."
                              : "The Keldor banlist is NOT synchronised with the server banlist.");
  return inSync;
}

bool SyncBanLists(const Actor& actor, bool toServer) {
  ErrorCode() = 0;
  if (toServer ? SyncBansToServer() : SyncBansFromServer()) {
    LogMessage(kLogInfo,
               toServer ? "User %s at %s synchronised to the server banlist."
                        : "User %s at %s synchronised from the server banlist.",
               actor.name.c_str(), actor.address.c_str());
    return true;
  }
  LogMessage(kLogInfo,
             toServer ? "Couldn't sync to the server banlist! %s"
                      : "Couldn't sync from the server banlist! %s",
             ErrorText(ErrorCode()));
  return false;
}

}  // namespace keldor
