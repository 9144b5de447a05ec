// Who is on the game server: the player table, built from the console's player
// list (id, name, address, key hash) joined by name with the status reply
// (team, score, kills, deaths, ping), plus PunkBuster's GUIDs; the team figures
// of the status text and smart balance come from the same pass.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace keldor {

constexpr std::size_t kMaxPlayers = 64;
constexpr std::size_t kPlayerNameMax = 31;
constexpr std::size_t kPlayerTeamMax = 9;
constexpr std::size_t kPlayerScoreMax = 4;  // score, kills and deaths
constexpr std::size_t kPlayerPingMax = 5;
constexpr std::size_t kPlayerAddressMax = 15;
constexpr std::size_t kPlayerKeyhashMax = 32;  // key hash and PunkBuster GUID

struct PlayerRecord {
  std::string name;  // empty: the place is free and ends the table
  int id = 0;
  std::string team;  // "nva", "usa" or "[unknown]"; empty without a status position
  std::string score;
  std::string kills;
  std::string deaths;
  std::string ping;
  std::string ip;
  std::string keyhash;  // "[unknown]" when the console line has none
  std::string pbGuid;   // "[unknown]" until pb_sv_plist names it; empty without a status position
};

struct PlayerTable {
  // Occupied records fill places 0..n-1 without gaps.
  std::array<PlayerRecord, kMaxPlayers> records{};
  std::string teamSizes = "0 / 0 / 0";   // team 2 ("usa"), team 1 ("nva"), records
  std::string teamScores = "0 / 0 / 0";  // team 2, team 1, both
  // Set while Keldor has switched the game's own team balance on; survives rebuilds.
  bool smartBalanceEngaged = false;
};

PlayerTable& Players();

// Number of occupied places.
std::size_t PlayerCount();

// Rebuilds the table from the console and the status query; false when either
// fails (the table is then cleared or partly filled) or the PunkBuster step fails.
bool GetPlayerList();

// The console link closed: every record, the team figures and the smart-balance flag go.
void ForgetPlayers();

// The record's field, or "[unknown]" when no record has this id.
std::string PlayerNameById(int id);
std::string PlayerAddressById(int id);
std::string PlayerKeyhashById(int id);
std::string PlayerGuidById(int id);

// Removes the first record with this id and closes the gap; false when there is none.
bool RemovePlayerById(int id);

// The id of the one record whose name contains `text` in any case; -1 when no
// record or more than one matches.
int FindPlayerByName(const std::string& text);

// Writes the table for a client, one quoted CSV line per record; false (logged)
// when the file cannot be written.
bool WritePlayerListFile(const std::string& path);

// The status text's team figures.
std::string TeamScoresText();
std::string TeamSizesText();

}  // namespace keldor
