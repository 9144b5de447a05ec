// The player table: see player_table.h.
#include "gamelink/player_table.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "runtime/game_server.h"
#include "settings/settings.h"

namespace keldor {

namespace {

StateTable<PlayerTable> g_table;
PlayerTable& g_players = *g_table;

constexpr const char* kUnknown = "[unknown]";
constexpr std::size_t kPlistLineMax = 1023;

// What a game.listPlayers line gives.
struct ListedPlayer {
  int id = 0;
  std::string name, ip, keyhash;
};

// "Id:N - NAME is remote ip: A.B.C.D:PORT hash:KEYHASH"; only the markers and
// offsets the game guarantees are relied on. False for anything else.
bool ParseListLine(std::string_view line, ListedPlayer& player) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  const std::size_t space = line.find(' ', colon + 1);
  if (space == std::string_view::npos) return false;
  const std::string idText(line.substr(colon + 1, space - colon - 1));
  const std::size_t nameStart = space + 3;
  if (nameStart > line.size()) return false;
  const std::size_t remote = line.find("is remote", nameStart);
  // The name ends before the blank in front of "is remote" and is never empty:
  // an empty name would end the table.
  if (remote == std::string_view::npos || remote < nameStart + 2) return false;
  const std::size_t ipMarker = remote + 10;
  if (ipMarker > line.size() || line.substr(ipMarker, 3) != "ip:") return false;
  const std::size_t ipStart = ipMarker + 4;
  if (ipStart > line.size()) return false;
  const std::size_t port = line.find(':', ipStart);
  if (port == std::string_view::npos) return false;
  player.id = std::atoi(idText.c_str());
  player.name =
      CutToWidth(std::string(line.substr(nameStart, remote - 1 - nameStart)), kPlayerNameMax);
  player.ip = CutToWidth(std::string(line.substr(ipStart, port - ipStart)), kPlayerAddressMax);
  const std::size_t hash = line.find("hash:", port + 1);
  player.keyhash = hash == std::string_view::npos
                       ? kUnknown
                       : CutToWidth(std::string(line.substr(hash + 5)), kPlayerKeyhashMax);
  return true;
}

// A status value of the player at `position`, cut to `width`; empty when missing.
std::string PlayerValue(const char* reply, const char* key, int position, std::size_t width) {
  char name[32];
  std::snprintf(name, sizeof name, "%s_%i", key, position);
  const char* value = StatusValue(reply, name);
  return value == nullptr ? std::string() : CutToWidth(value, width);
}

// The first status position whose "player_%i" is exactly the name; -1 when none.
int StatusPosition(const char* reply, int count, const std::string& name) {
  for (int i = 0; i < count; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "player_%i", i);
    const char* value = StatusValue(reply, key);
    if (value != nullptr && name == value) return i;
  }
  return -1;
}

struct TeamFigures {
  int players[3] = {0, 0, 0};  // by team number; 0 unused
  long scores[3] = {0, 0, 0};
};

void JoinStatus(const char* reply, int count, PlayerRecord& record, TeamFigures& teams) {
  const int i = StatusPosition(reply, count, record.name);
  if (i < 0) {
    LogDebug("DEBUG: Couldn't determine index of player %s!", record.name.c_str());
    return;
  }
  const std::string team = PlayerValue(reply, "team", i, kPlayerTeamMax);
  const int teamNumber = std::atoi(team.c_str());
  if (!team.empty()) record.team = teamNumber == 1 ? "nva" : teamNumber == 2 ? "usa" : kUnknown;
  record.score = PlayerValue(reply, "score", i, kPlayerScoreMax);
  record.kills = PlayerValue(reply, "kills", i, kPlayerScoreMax);
  record.deaths = PlayerValue(reply, "deaths", i, kPlayerScoreMax);
  record.ping = PlayerValue(reply, "ping", i, kPlayerPingMax);
  record.pbGuid = kUnknown;
  if (teamNumber != 1 && teamNumber != 2) return;
  ++teams.players[teamNumber];
  teams.scores[teamNumber] += std::atol(record.score.c_str());
}

void WriteTeamFigures(const TeamFigures& teams) {
  char text[64];
  std::snprintf(text, sizeof text, "%d / %d / %d", teams.players[2], teams.players[1],
                static_cast<int>(PlayerCount()));
  g_players.teamSizes = text;
  std::snprintf(text, sizeof text, "%ld / %ld / %ld", teams.scores[2], teams.scores[1],
                teams.scores[2] + teams.scores[1]);
  g_players.teamScores = text;
}

void ClearRecords() {
  g_players.records.fill(PlayerRecord{});
  WriteTeamFigures(TeamFigures{});
}

// Switches the game's own team balance and tells the players; a refused
// command leaves the engaged flag as it was, to be tried on the next rebuild.
void SwitchAutoBalance(bool on) {
  if (SendConsoleMessage(on ? "admin.autoBalanceTeam 1" : "admin.autoBalanceTeam 0") == nullptr) {
    LogMessage(kLogInfo, on ? "Couldn't enable auto-team-balance! The command failed."
                            : "Couldn't disable auto-team-balance! The command failed.");
    return;
  }
  g_players.smartBalanceEngaged = on;
  MessagePlayers(on ? "%s Teams are unbalanced, engaging auto-team-balance"
                    : "%s Teams are balanced, disengaging auto-team-balance",
                 "[KELDOR]");
  LogMessage(
      kLogInfo,
      on ? "Smart-balance is enabled and teams are unbalanced, engaging auto-team-balance."
         : "Smart-balance is enabled and teams are balanced, disengaging auto-team-balance.");
}

// Switches the game's own team balance on when one team leads by the
// configured margin, and off again once the teams are within one player.
void SmartBalance(const TeamFigures& teams) {
  if (Row(Setting::SmartBalance).current == 0) return;
  const int difference = teams.players[2] - teams.players[1];
  const int magnitude = difference < 0 ? -difference : difference;
  if (magnitude >= Row(Setting::SmartBalanceValue).current && !g_players.smartBalanceEngaged) {
    SwitchAutoBalance(true);
  } else if (g_players.smartBalanceEngaged && magnitude <= 1) {
    SwitchAutoBalance(false);
  }
}

PlayerRecord* FindRecordByNameNoCase(const std::string& name) {
  for (PlayerRecord& record : g_players.records) {
    if (record.name.empty()) break;
    if (strcasecmp(record.name.c_str(), name.c_str()) == 0) return &record;
  }
  return nullptr;
}

// "PunkBuster Server: SLOT GUID(-) ADDRESS ... (W) NAME": the GUID starts five
// characters after the first colon.
void TakeGuidLine(std::string_view line) {
  const std::size_t marker = line.find(" (W) ");
  if (marker == std::string_view::npos) return;
  const std::string name(line.substr(marker + 5));
  PlayerRecord* record = FindRecordByNameNoCase(name);
  const std::size_t colon = line.find(':');
  if (record == nullptr || colon == std::string_view::npos || colon + 5 > line.size()) {
    LogDebug("Couldn't parse GUID for player %s!", name.c_str());
    return;
  }
  const std::size_t start = colon + 5;
  const std::size_t end = line.find('(', start);
  const std::size_t length = end == std::string_view::npos ? std::string_view::npos : end - start;
  record->pbGuid = CutToWidth(std::string(line.substr(start, length)), kPlayerKeyhashMax);
}

bool ReadPunkBusterGuids() {
  if (!GameServer().punkBusterRunning || Row(Setting::BanInBFandPB).current == 0) return true;
  if (SendConsoleMessage("pb_sv_plist") == nullptr) return false;
  SleepSeconds(1);
  const char* output = ReadConsoleOutput();
  if (output == nullptr || output[0] == '\n') return false;
  std::string_view rest(output);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    TakeGuidLine(line.substr(0, kPlistLineMax));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return true;
}

// Fills the table from the player lines; false at the first line that cannot be parsed.
bool TakeListedPlayers(std::string_view list, const char* reply, int count, TeamFigures& teams) {
  std::size_t used = 0;
  while (!list.empty() && used < kMaxPlayers) {
    const std::size_t end = list.find('\n');
    const std::string_view line = list.substr(0, end);
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
    if (line.empty() || line.find("is an AI bot") != std::string_view::npos) continue;
    ListedPlayer listed;
    if (!ParseListLine(line, listed)) {
      LogDebug("DEBUG: Couldn't get player list! Parse error.");
      return false;
    }
    PlayerRecord& record = g_players.records[used++];
    record.name = listed.name;
    record.id = listed.id;
    record.ip = listed.ip;
    record.keyhash = listed.keyhash;
    JoinStatus(reply, count, record, teams);
  }
  return true;
}

const PlayerRecord* FindById(int id) {
  for (const PlayerRecord& record : g_players.records) {
    if (record.name.empty()) break;
    if (record.id == id) return &record;
  }
  return nullptr;
}

std::string FieldById(int id, std::string PlayerRecord::*field) {
  const PlayerRecord* record = FindById(id);
  return record == nullptr ? kUnknown : record->*field;
}

}  // namespace

PlayerTable& Players() {
  return g_players;
}

std::size_t PlayerCount() {
  std::size_t n = 0;
  while (n < kMaxPlayers && !g_players.records[n].name.empty()) ++n;
  return n;
}

bool GetPlayerList() {
  if (!Console().connected) return false;
  const char* status = QueryStatus(StatusPort(), "\\status\\");
  if (status == nullptr) {
    LogDebug("DEBUG: GetPlayerList: Couldn't get server status! %s", ErrorText(ErrorCode()));
    return false;
  }
  // The console request below may run event handlers that query the status
  // port again: keep this reply.
  const std::string reply = status;
  const char* numplayers = StatusValue(reply.c_str(), "numplayers");
  if (numplayers == nullptr) {
    LogDebug("DEBUG: Couldn't find \"numplayers\" in status!");
    return false;
  }
  const int count = std::atoi(numplayers);
  ClearRecords();
  const char* response = SendConsoleMessage("game.listPlayers");
  if (response == nullptr) return false;
  if (response[0] == '\0' || response[0] == '\n') return true;
  const std::string list = response;
  TeamFigures teams;
  const bool parsed = TakeListedPlayers(list, reply.c_str(), count, teams);
  WriteTeamFigures(teams);
  if (!parsed) return false;
  SmartBalance(teams);
  return ReadPunkBusterGuids();
}

void ForgetPlayers() {
  g_table.Reset();
}

std::string PlayerNameById(int id) {
  return FieldById(id, &PlayerRecord::name);
}
std::string PlayerAddressById(int id) {
  return FieldById(id, &PlayerRecord::ip);
}
std::string PlayerKeyhashById(int id) {
  return FieldById(id, &PlayerRecord::keyhash);
}
std::string PlayerGuidById(int id) {
  return FieldById(id, &PlayerRecord::pbGuid);
}

bool RemovePlayerById(int id) {
  auto& records = g_players.records;
  for (std::size_t i = 0; i < kMaxPlayers && !records[i].name.empty(); ++i) {
    if (records[i].id != id) continue;
    for (std::size_t j = i; j + 1 < kMaxPlayers; ++j) records[j] = std::move(records[j + 1]);
    records[kMaxPlayers - 1] = PlayerRecord{};
    return true;
  }
  return false;
}

int FindPlayerByName(const std::string& text) {
  std::string wanted = text;
  UpperCaseInPlace(wanted);
  int found = -1;
  int matches = 0;
  for (const PlayerRecord& record : g_players.records) {
    if (record.name.empty()) break;
    std::string name = record.name;
    if (UpperCaseInPlace(name).find(wanted) == std::string::npos) continue;
    found = record.id;
    ++matches;
  }
  return matches == 1 ? found : -1;
}

bool WritePlayerListFile(const std::string& path) {
  // Replaced in one step: a client fetching it never gets half a list.
  const bool written = ReplaceFile(path, [](std::FILE* file) {
    auto field = [](const std::string& text) { return text.empty() ? "*" : text.c_str(); };
    for (const PlayerRecord& r : g_players.records) {
      if (r.name.empty()) break;
      std::fprintf(file, "\"%s\",%i,%s,%s,%s,%s,%s,%s,%s,%s\n", field(r.name), r.id, field(r.team),
                   field(r.score), field(r.kills), field(r.deaths), field(r.ping), field(r.ip),
                   field(r.keyhash), field(r.pbGuid));
    }
    return std::ferror(file) == 0;
  });
  if (!written) {
    LogMessage(kLogInfo, "Couldn't open player list file! %s", ErrorText(ErrorCode()));
    return false;
  }
  return true;
}

std::string TeamScoresText() {
  return g_players.teamScores;
}
std::string TeamSizesText() {
  return g_players.teamSizes;
}

}  // namespace keldor
