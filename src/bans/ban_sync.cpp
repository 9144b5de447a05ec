// Comparing and rebuilding the ban lists: see ban_sync.h.
#include "bans/ban_sync.h"

#include <cerrno>
#include <cstdio>
#include <functional>
#include <unordered_set>
#include <vector>

#include "bans/ban_store.h"
#include "bans/game_lists.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/console.h"
#include "runtime/events.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

using IdSet = std::unordered_set<std::string>;

// The identifiers one of the game's files bans, letters in lower case. Read
// once per verification: looking each entry up in the file would cost a scan
// of the file per entry.
struct GameIds {
  bool read = false;
  IdSet first, second;  // banlist.con: addresses and key hashes; pbbans.dat: GUIDs

  bool Read(const std::string& path, BanKind kind1, BanKind kind2, bool& opened) {
    std::vector<std::string> lines;
    if (!ReadListLines(path, lines, opened)) return false;
    first.reserve(lines.size());
    std::string id;
    for (const std::string& line : lines) {
      const BanKind kind = BannedIdentifier(line, id);
      if (kind == kind1) {
        first.insert(ToLower(id));
      } else if (kind == kind2) {
        second.insert(ToLower(id));
      }
    }
    read = true;
    return true;
  }
  bool ReadBanList(bool& opened) {
    return Read(GameBanListPath(), BanKind::kAddress, BanKind::kKey, opened);
  }
  bool ReadPunkBuster(bool& opened) {
    return Read(PunkBusterBanListPath(), BanKind::kGuid, BanKind::kGuid, opened);
  }
};

bool AllIn(const IdSet& ids, const IdSet& in) {
  for (const std::string& id : ids) {
    if (in.count(id) == 0) return false;
  }
  return true;
}

// Keldor's entries, one call per entry; false (logged) when the list cannot be read.
bool ForEachEntry(const std::function<bool(const BanEntry&)>& visit) {
  std::vector<std::string> lines;
  bool opened = false;
  if (!ReadListLines(ServerBanListPath(), lines, opened)) {
    LogMessage(kLogInfo,
               opened ? "Couldn't read banlist file! %s" : "Couldn't open banlist file! %s",
               ErrorText(ErrorCode()));
    return false;
  }
  BanEntry entry;
  for (const std::string& line : lines) {
    if (ParseBanEntry(line, entry) && !visit(entry)) return false;
  }
  return true;
}

// Direction one: every identifier of Keldor's list is banned in the game's files.
// Keldor's identifiers are collected on the way for direction two.
bool KeldorInGame(GameIds& banList, GameIds& punkBuster, IdSet (&keldor)[3]) {
  return ForEachEntry([&](const BanEntry& entry) {
    const std::string a = ToLower(Identifier(entry.address)),
                      k = ToLower(Identifier(entry.keyhash)), g = ToLower(Identifier(entry.guid));
    bool opened = false;
    if ((!a.empty() || !k.empty()) && !banList.read && !banList.ReadBanList(opened)) {
      LogMessage(kLogInfo, "Couldn't open banlist file! %s", ErrorText(ErrorCode()));
      return false;
    }
    if (!g.empty() && !punkBuster.read && !punkBuster.ReadPunkBuster(opened)) {
      LogMessage(kLogInfo, "Couldn't open banlist file! %s", ErrorText(ErrorCode()));
      return false;
    }
    if ((!a.empty() && banList.first.count(a) == 0) ||
        (!k.empty() && banList.second.count(k) == 0) ||
        (!g.empty() && punkBuster.first.count(g) == 0)) {
      return false;
    }
    if (!a.empty()) keldor[0].insert(a);
    if (!k.empty()) keldor[1].insert(k);
    if (!g.empty()) keldor[2].insert(g);
    return true;
  });
}

// Writes `path` whole with one line per entry that `line` gives (empty: none).
bool RebuildFromEntries(const std::string& path,
                        const std::function<std::string(const BanEntry&)>& line) {
  std::vector<std::string> text;
  if (!ForEachEntry([&](const BanEntry& entry) {
        text.push_back(line(entry));
        return true;
      })) {
    return false;
  }
  if (ReplaceFile(path, [&](std::FILE* file) {
        for (const std::string& piece : text) {
          if (std::fputs(piece.c_str(), file) < 0) return false;
        }
        return true;
      })) {
    return true;
  }
  LogMessage(kLogInfo, "Couldn't open server banlist file! %s", ErrorText(ErrorCode()));
  return false;
}

std::string TakenOver(const std::string& address, const std::string& keyhash,
                      const std::string& guid) {
  return FormatBanEntry(
      {"[unknown]", address, keyhash, guid, "operator", "0", "0", "unknown reason"});
}

bool Empty(const std::string& path) {
  if (EnsureFile(path, EnsureMode::kTruncate)) return true;
  LogMessage(kLogInfo, "Couldn't clear %s! %s", path.c_str(), ErrorText(ErrorCode()));
  return false;
}

}  // namespace

bool VerifyBanSync() {
  GameIds banList, punkBuster;
  IdSet keldor[3];  // addresses, key hashes, GUIDs
  if (!KeldorInGame(banList, punkBuster, keldor)) return false;
  bool opened = false;
  if (!banList.read && !banList.ReadBanList(opened)) {
    LogMessage(
        kLogInfo,
        opened ? "Couldn't read server banlist file! %s" : "Couldn't open server banlist file! %s",
        ErrorText(ErrorCode()));
    return false;
  }
  if (!AllIn(banList.first, keldor[0]) || !AllIn(banList.second, keldor[1])) return false;
  if (!Opts().punkBusterInstalled) return true;
  if (!punkBuster.read && !punkBuster.ReadPunkBuster(opened)) {
    LogMessage(kLogInfo,
               opened ? "Couldn't read PunkBuster banlist file! %s"
                      : "Couldn't open PunkBuster banlist file! %s",
               ErrorText(ErrorCode()));
    return false;
  }
  return AllIn(punkBuster.first, keldor[2]);
}

bool SyncBansToServer() {
  const auto gameLine = [](const BanEntry& entry) {
    std::string lines;
    if (std::string a = Identifier(entry.address); !a.empty()) lines += AddressBanLine(a);
    if (std::string k = Identifier(entry.keyhash); !k.empty()) lines += KeyBanLine(k);
    return lines;
  };
  if (!RebuildFromEntries(GameBanListPath(), gameLine)) return false;
  if (!Opts().punkBusterInstalled) return true;
  return RebuildFromEntries(PunkBusterBanListPath(), [](const BanEntry& entry) {
    const std::string g = Identifier(entry.guid);
    return g.empty() ? std::string() : GuidBanLine(g);
  });
}

bool SyncBansFromServer() {
  std::vector<std::string> game, punkBuster;
  bool opened = false;
  if (!ReadListLines(GameBanListPath(), game, opened)) {
    LogMessage(
        kLogInfo,
        opened ? "Couldn't read server banlist file! %s" : "Couldn't open server banlist file! %s",
        ErrorText(ErrorCode()));
    return false;
  }
  if (Opts().punkBusterInstalled && !ReadListLines(PunkBusterBanListPath(), punkBuster, opened)) {
    LogMessage(kLogInfo,
               opened ? "Couldn't read PunkBuster banlist file! %s"
                      : "Couldn't open PunkBuster banlist file! %s",
               ErrorText(ErrorCode()));
    return false;
  }
  const bool written = ReplaceFile(ServerBanListPath(), [&](std::FILE* file) {
    std::string text, id;
    for (const std::string& line : game) {
      const BanKind kind = BannedIdentifier(line, id);
      if (Identifier(id).empty()) continue;
      if (kind == BanKind::kAddress) text += TakenOver(id, "*", "*");
      if (kind == BanKind::kKey) text += TakenOver("*", id, "*");
    }
    for (const std::string& line : punkBuster) {
      if (BannedIdentifier(line, id) == BanKind::kGuid && !Identifier(id).empty()) {
        text += TakenOver("*", "*", id);
      }
    }
    return std::fputs(text.c_str(), file) >= 0 || text.empty();
  });
  if (!written) LogMessage(kLogInfo, "Couldn't open banlist file! %s", ErrorText(ErrorCode()));
  return written;
}

bool ClearBans(const std::string& actorName, const std::string& actorAddress) {
  if (GameServer().monitoring) {
    if (!Console().connected || SendConsoleMessage("admin.clearBanList") == nullptr) {
      LogMessage(kLogInfo, "Couldn't clear server banlist! The command failed.");
      return false;
    }
    if (PunkBusterEnabled() && Row(Setting::BanInBFandPB).current != 0 &&
        SendConsoleMessage("pb_sv_banempty") == nullptr) {
      LogMessage(kLogInfo, "Couldn't clear PunkBuster banlist! The command failed.");
    }
  }
  bool ok = Empty(ServerBanListPath());
  if (!GameServer().monitoring) {
    ok &= Empty(GameBanListPath());
    ok &= Empty(PunkBusterBanListPath());
  }
  if (!ok) return false;
  LogMessage(kLogInfo, "User %s at %s cleared the banlist.", actorName.c_str(),
             actorAddress.c_str());
  Report(Event::kBansCleared);
  return true;
}

}  // namespace keldor
