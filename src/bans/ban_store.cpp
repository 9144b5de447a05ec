// Keldor's ban list and putting bans into effect: see ban_store.h.
#include "bans/ban_store.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

#include "bans/game_lists.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "gamelink/console.h"
#include "gamelink/player_table.h"
#include "runtime/events.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

// The identifiers a call lifted in the game, letters in lower case: the entries
// holding them lose them.
struct Lifted {
  std::unordered_set<std::string> addresses, keys, guids;
};

// While the game server is stopped, the expiry lifts many bans from the game's
// files; it edits each file in memory and writes it once at the end.
struct OfflineEdits {
  GameListEdit banList{GameBanListPath()};
  GameListEdit pbBans{PunkBusterBanListPath()};
};

bool Running() {
  return GameServer().monitoring;
}

// The console is asked only over a link that is up: a send on a closed link
// would be reported as a broken connection.
bool Linked() {
  return Console().connected;
}

BanMadeHook g_banMade = nullptr;
BanLiftedHook g_banLifted = nullptr;

void UpdatePunkBusterBanFile() {
  if (Linked() && PunkBusterEnabled()) SendConsoleMessage("pb_sv_updbanfile");
}

// A name or reason as it may stand in a list line.
std::string Clean(std::string text, bool quoted) {
  return quoted ? QuotedField(std::move(text)) : FlattenLine(std::move(text));
}

// One identifier over the console, logged with `done` or `failed`; false when the command failed.
bool ConsoleDoes(const std::string& id, const char* command, const char* done, const char* failed) {
  const bool sent = Linked() && SendConsoleMessage(command, id.c_str()) != nullptr;
  LogMessage(kLogInfo, sent ? done : failed, id.c_str());
  return sent;
}

// One kind of identifier lifted over the console; false when the command failed.
bool LiftOnline(const std::string& id, const char* command, const char* done, const char* failed,
                std::unordered_set<std::string>& lifted) {
  if (id.empty()) return true;
  if (!ConsoleDoes(id, command, done, failed)) return false;
  lifted.insert(ToLower(id));
  return true;
}

// One kind lifted from the game's file, at once or (with `edit`) in memory.
bool LiftOffline(const std::string& id, BanKind kind, GameListEdit* edit,
                 bool (*removeNow)(const std::string&), const char* done, const char* failed,
                 std::unordered_set<std::string>& lifted) {
  if (id.empty()) return true;
  if (edit != nullptr ? edit->Remove(id, kind) : removeNow(id)) {
    LogMessage(kLogInfo, done, id.c_str());
    lifted.insert(ToLower(id));
    return true;
  }
  LogMessage(kLogInfo, failed, id.c_str(), ErrorText(ErrorCode()));
  return false;
}

// Lifts the present identifiers in the game; false when one of them failed.
bool LiftInGame(const std::string& address, const std::string& keyhash, const std::string& guid,
                Lifted& lifted, OfflineEdits* edits) {
  bool ok = true;
  if (Running()) {
    ok &= LiftOnline(address, "admin.removeAddressFromBanList %s", "Ban removed on address %s.",
                     "Couldn't unban address %s! The command failed.", lifted.addresses);
    ok &= LiftOnline(keyhash, "admin.removeKeyFromBanList %s", "Ban removed on keyhash %s.",
                     "Couldn't unban keyhash %s! The command failed.", lifted.keys);
    if (!guid.empty() && !PunkBusterEnabled()) {
      LogMessage(kLogInfo, "Couldn't unban guid %s! PunkBuster is not enabled.", guid.c_str());
      return false;
    }
    ok &= LiftOnline(guid, "pb_sv_unbanguid %s", "Ban removed on GUID %s.",
                     "Couldn't unban guid %s! The command failed.", lifted.guids);
    return ok;
  }
  ok &=
      LiftOffline(address, BanKind::kAddress, edits ? &edits->banList : nullptr, RemoveAddressBan,
                  "Ban removed on address %s.", "Couldn't unban address %s! %s", lifted.addresses);
  ok &= LiftOffline(keyhash, BanKind::kKey, edits ? &edits->banList : nullptr, RemoveKeyBan,
                    "Ban removed on keyhash %s.", "Couldn't unban keyhash %s! %s", lifted.keys);
  ok &= LiftOffline(guid, BanKind::kGuid, edits ? &edits->pbBans : nullptr, RemoveGuidBan,
                    "Ban removed on GUID %s.", "Couldn't unban guid %s! %s", lifted.guids);
  return ok;
}

std::string Starred(const std::string& id, const std::unordered_set<std::string>& lifted) {
  return lifted.count(ToLower(id)) != 0 ? "*" : id;
}

// Rewrites serverbanlist.con without the lifted identifiers, in one step.
bool RewriteServerBanList(const Lifted& lifted) {
  const std::string path = ServerBanListPath();
  const FileHandle in(std::fopen(path.c_str(), "r"));
  if (!in) {
    LogMessage(kLogInfo, "Couldn't open banlist file! %s", ErrorText(errno));
    return Fail(errno);
  }
  bool readFailed = false;
  const bool written = ReplaceFile(path, [&](std::FILE* out) {
    BanEntry entry;
    bool putFailed = false;
    const auto copyLine = [&](std::string& line, bool) {
      if (!ParseBanEntry(line, entry)) return true;
      entry.address = Starred(entry.address, lifted.addresses);
      entry.keyhash = Starred(entry.keyhash, lifted.keys);
      entry.guid = Starred(entry.guid, lifted.guids);
      if (entry.address == "*" && entry.keyhash == "*" && entry.guid == "*") return true;
      putFailed = std::fputs(FormatBanEntry(entry).c_str(), out) < 0;
      return !putFailed;
    };
    if (!ForEachLine(in.get(), kBanLineMax, false, copyLine)) {
      readFailed = true;
      LogMessage(kLogInfo, "Couldn't read banlist file! %s", ErrorText(ErrorCode()));
      return false;
    }
    return !putFailed;
  });
  if (!written && !readFailed) {
    LogMessage(kLogInfo, "Couldn't remove ban! Couldn't rename %s. %s", path.c_str(),
               ErrorText(ErrorCode()));
  }
  return written;
}

// Appends in one write, after a line break if a hand edit left the last line open.
bool AppendEntry(const BanEntry& entry) {
  return AppendWhole(ServerBanListPath(), FormatBanEntry(entry));
}

struct Banned {
  bool address = false, keyhash = false, guid = false;
};

// The game server runs: the console bans. False when a command failed.
bool BanOnline(const std::string& name, int playerId, const std::string& address,
               const std::string& keyhash, const std::string& guid, Banned& banned) {
  bool ok = true;
  const bool internet = Row(Setting::ServerInternet).current != 0;
  // The game bans a player it has by id, on the identifier that it knows best;
  // the id must still be his and that identifier known for the entry to name it.
  const bool onServer = playerId != -1 && (internet ? !keyhash.empty() : !address.empty()) &&
                        strcasecmp(PlayerNameById(playerId).c_str(), name.c_str()) == 0;
  if (onServer) {
    const bool sent =
        Linked() && SendConsoleMessage(internet ? "admin.banPlayerKey %i" : "admin.banPlayer %i",
                                       playerId) != nullptr;
    if (!sent) {
      LogMessage(kLogInfo, "Couldn't ban player %s! The command failed.", name.c_str());
      ok = false;
    } else if (internet) {
      LogMessage(kLogInfo, "Ban added on keyhash %s.", keyhash.c_str());
      banned.keyhash = true;
    } else {
      LogMessage(kLogInfo, "Ban added on address %s.", address.c_str());
      banned.address = true;
    }
  } else {
    if (!address.empty()) {
      banned.address =
          ConsoleDoes(address, "admin.addAddressToBanList %s", "Ban added on address %s.",
                      "Couldn't ban address %s! The command failed.");
      ok &= banned.address;
    }
    if (!keyhash.empty()) {
      banned.keyhash = ConsoleDoes(keyhash, "admin.addKeyToBanList %s", "Ban added on keyhash %s.",
                                   "Couldn't ban keyhash %s! The command failed.");
      ok &= banned.keyhash;
    }
  }
  if (guid.empty() || Row(Setting::BanInBFandPB).current == 0) return ok;
  if (!PunkBusterEnabled()) {
    LogMessage(kLogInfo, "Couldn't ban guid %s! PunkBuster is not enabled.", guid.c_str());
    return false;
  }
  banned.guid = ConsoleDoes(guid, "pb_sv_banguid %s", "Ban added on GUID %s.",
                            "Couldn't ban guid %s! The command failed.");
  return ok && banned.guid;
}

// One identifier appended to the game's file; false when that failed.
bool BanInFile(const std::string& id, bool (*append)(const std::string&), const char* done,
               const char* failed, bool& banned) {
  if (id.empty()) return true;
  banned = append(id);
  if (banned) {
    LogMessage(kLogInfo, done, id.c_str());
  } else {
    LogMessage(kLogInfo, failed, id.c_str(), ErrorText(ErrorCode()));
  }
  return banned;
}

// The game server is stopped: the game's files ban when it starts.
bool BanOffline(const std::string& address, const std::string& keyhash, const std::string& guid,
                Banned& banned) {
  bool ok = BanInFile(address, AppendAddressBan, "Ban added on address %s.",
                      "Couldn't ban address %s! %s", banned.address);
  ok &= BanInFile(keyhash, AppendKeyBan, "Ban added on keyhash %s.", "Couldn't ban keyhash %s! %s",
                  banned.keyhash);
  if (guid.empty()) return ok;
  if (!Opts().punkBusterInstalled) {
    LogMessage(kLogInfo, "Couldn't ban guid %s! PunkBuster is not installed.", guid.c_str());
    return false;
  }
  return BanInFile(guid, AppendGuidBan, "Ban added on GUID %s.", "Couldn't ban guid %s! %s",
                   banned.guid) &&
         ok;
}

// The batch of AddBans while the game server is stopped: the lines each file
// gets, written once at the end.
struct OfflineBatch {
  std::string banList, pbBans, ownList;
  std::size_t recorded = 0;
};

void AddToBatch(const BanEntry& ban, OfflineBatch& batch) {
  const std::string a = Identifier(ban.address), k = Identifier(ban.keyhash),
                    g = Opts().punkBusterInstalled ? Identifier(ban.guid) : std::string();
  if (a.empty() && k.empty() && g.empty()) return;
  if (!a.empty()) batch.banList += AddressBanLine(a);
  if (!k.empty()) batch.banList += KeyBanLine(k);
  if (!g.empty()) batch.pbBans += GuidBanLine(g);
  BanEntry entry = ban;
  entry.name = CutToWidth(entry.name, kNameMax);
  entry.admin = CutToWidth(entry.admin, kNameMax);
  entry.address = a.empty() ? "*" : a;
  entry.keyhash = k.empty() ? "*" : k;
  entry.guid = g.empty() ? "*" : g;
  batch.ownList += FormatBanEntry(entry);
  ++batch.recorded;
}

// Appends the batch; false (logged) when a file could not take it. The game's
// files go first: an entry in Keldor's list always stands for a ban in the game.
bool WriteBatch(const OfflineBatch& batch) {
  const auto append = [](const std::string& path, const std::string& text) {
    if (text.empty() || AppendWhole(path, text)) return true;
    LogMessage(kLogInfo, "Couldn't open %s! %s", path.c_str(), ErrorText(ErrorCode()));
    return false;
  };
  return append(GameBanListPath(), batch.banList) &&
         append(PunkBusterBanListPath(), batch.pbBans) &&
         append(ServerBanListPath(), batch.ownList);
}

}  // namespace

void ConnectBanFeed(BanMadeHook made, BanLiftedHook lifted) {
  g_banMade = made;
  g_banLifted = lifted;
}

void TellBanMade(const BanEntry& entry) {
  if (g_banMade != nullptr) g_banMade(entry);
}

void TellBanLifted(const BanLift& lift) {
  if (g_banLifted != nullptr) g_banLifted(lift);
}

std::size_t AddBans(const std::vector<NewBan>& bans) {
  if (bans.empty()) return 0;
  if (Running()) {
    std::size_t recorded = 0;
    for (const NewBan& ban : bans) {
      const BanEntry& e = ban.entry;
      recorded +=
          AddBan(e.name, ban.playerId, e.address, e.keyhash, e.guid, e.admin,
                 static_cast<std::time_t>(std::strtoll(e.start.c_str(), nullptr, 10)),
                 static_cast<std::time_t>(std::strtoll(e.end.c_str(), nullptr, 10)), e.reason)
              ? 1
              : 0;
    }
    return recorded;
  }
  OfflineBatch batch;
  // Room for typical lines at once: the texts grow without copying themselves over.
  batch.banList.reserve(bans.size() * 96);
  batch.ownList.reserve(bans.size() * 160);
  for (const NewBan& ban : bans) AddToBatch(ban.entry, batch);
  if (batch.recorded == 0 || !WriteBatch(batch)) return 0;
  LogMessage(kLogInfo, "Added %zu bans to the server's ban lists.", batch.recorded);
  return batch.recorded;
}

std::string ServerBanListPath() {
  return Opts().settingsDir + "/serverbanlist.con";
}

bool ParseBanEntry(const std::string& text, BanEntry& entry) {
  std::string line = text;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::size_t at = 0;
  const auto quoted = [&](std::string& out) {
    const std::size_t open = line.find('"', at);
    if (open == std::string::npos) return false;
    const std::size_t close = line.find('"', open + 1);
    if (close == std::string::npos || close + 1 >= line.size() || line[close + 1] != ',') {
      return false;
    }
    out = line.substr(open + 1, close - open - 1);
    at = close + 2;
    return true;
  };
  const auto field = [&](std::string& out) {
    const std::size_t comma = line.find(',', at);
    if (comma == std::string::npos) return false;
    out = line.substr(at, comma - at);
    at = comma + 1;
    return true;
  };
  if (!quoted(entry.name) || !field(entry.address) || !field(entry.keyhash) || !field(entry.guid) ||
      !quoted(entry.admin) || !field(entry.start) || !field(entry.end)) {
    return false;
  }
  // The reason is the rest of the line, commas and all.
  entry.reason = line.substr(at);
  return !entry.start.empty() && !entry.end.empty();
}

std::string FormatBanEntry(const BanEntry& entry) {
  // Appended piece by piece: one long chain of + draws a false -Wrestrict from GCC 12.
  std::string line = "\"";
  line += Clean(entry.name, true);
  line += "\",";
  line += entry.address;
  line += ',';
  line += entry.keyhash;
  line += ',';
  line += entry.guid;
  line += ",\"";
  line += Clean(entry.admin, true);
  line += "\",";
  line += entry.start;
  line += ',';
  line += entry.end;
  line += ',';
  const std::size_t room = line.size() < kBanLineMax ? kBanLineMax - line.size() : 0;
  line += CutToWidth(Clean(entry.reason, false), room);
  line += '\n';
  return line;
}

bool AddBan(const std::string& name, int playerId, const std::string& address,
            const std::string& keyhash, const std::string& guid, const std::string& adminUser,
            std::time_t start, std::time_t end, const std::string& reason, BanEntry* recorded) {
  const std::string a = Identifier(address), k = Identifier(keyhash), g = Identifier(guid);
  if (a.empty() && k.empty() && g.empty()) return Fail(0);
  Banned banned;
  bool ok = Running() ? BanOnline(name, playerId, a, k, g, banned) : BanOffline(a, k, g, banned);
  UpdatePunkBusterBanFile();
  if (!banned.address && !banned.keyhash && !banned.guid) {
    LogMessage(kLogInfo, "Couldn't ban player %s! The command failed.", name.c_str());
    return false;
  }
  const BanEntry entry{CutToWidth(name, kNameMax),
                       banned.address ? a : "*",
                       banned.keyhash ? k : "*",
                       banned.guid ? g : "*",
                       CutToWidth(adminUser, kNameMax),
                       std::to_string(static_cast<unsigned long>(start)),
                       std::to_string(static_cast<unsigned long>(end)),
                       reason};
  if (!AppendEntry(entry)) {
    LogMessage(kLogInfo, "Couldn't open banlist file! %s", ErrorText(ErrorCode()));
    return false;
  }
  if (recorded != nullptr) *recorded = entry;
  // The game has removed him; the table learns it before its next rebuild. An id
  // that has passed to another player keeps that player's record.
  if (playerId != -1 && strcasecmp(PlayerNameById(playerId).c_str(), name.c_str()) == 0) {
    RemovePlayerById(playerId);
  }
  return ok;
}

bool RemoveBan(const std::string&, const std::string& address, const std::string& keyhash,
               const std::string& guid) {
  const std::string a = Identifier(address), k = Identifier(keyhash), g = Identifier(guid);
  if (a.empty() && k.empty() && g.empty()) return Fail(0);
  Lifted lifted;
  bool ok = LiftInGame(a, k, g, lifted, nullptr);
  UpdatePunkBusterBanFile();
  ok &= RewriteServerBanList(lifted);
  Report(Event::kBansChanged);
  return ok;
}

bool ExpireTimedBans() {
  const FileHandle in(std::fopen(ServerBanListPath().c_str(), "r"));
  if (!in) {
    LogMessage(kLogInfo, "Couldn't open banlist file! %s", ErrorText(errno));
    return Fail(errno);
  }
  // One scan lifts every ban that has ended; the list and the game's files are
  // then written once, with the result lifting them one by one would give.
  const std::time_t now = Now();
  Lifted lifted;
  OfflineEdits edits;
  bool lifting = false;
  BanEntry entry;
  const auto liftEnded = [&](std::string& line, bool) {
    if (!ParseBanEntry(line, entry)) return true;
    const unsigned long long endTime = std::strtoull(entry.end.c_str(), nullptr, 10);
    if (endTime == 0 || endTime > static_cast<unsigned long long>(now)) return true;
    const std::string a = Identifier(entry.address), k = Identifier(entry.keyhash),
                      g = Identifier(entry.guid);
    if (a.empty() && k.empty() && g.empty()) return true;
    lifting = true;
    const bool ok = LiftInGame(a, k, g, lifted, &edits);
    UpdatePunkBusterBanFile();
    if (ok) {
      LogMessage(kLogInfo, "Removed timed-ban on player %s (%s), the ban has expired.",
                 entry.name.c_str(), entry.keyhash.c_str());
      TellBanLifted({"expiry", a, k, g, now});
    }
    return true;
  };
  const bool readFailed = !ForEachLine(in.get(), kBanLineMax, false, liftEnded);
  if (readFailed) LogMessage(kLogInfo, "Couldn't read banlist file! %s", ErrorText(ErrorCode()));
  if (lifting) {
    // What a file could not take stays banned there, so it stays in the list too.
    if (!edits.banList.Commit()) {
      lifted.addresses.clear();
      lifted.keys.clear();
    }
    if (!edits.pbBans.Commit()) lifted.guids.clear();
    RewriteServerBanList(lifted);
    Report(Event::kBansChanged);
  }
  return readFailed ? Fail(EIO) : true;
}

}  // namespace keldor
