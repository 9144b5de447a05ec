// The simulated game: settings, players and bots, rounds over the map
// rotation, ban lists, and the event and output lines waiting for the console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace gamesim {

constexpr std::size_t kMaxPlayers = 64;        // players and bots together
constexpr std::size_t kMaxNameLength = 31;     // longest player name
constexpr std::size_t kMaxQueuedLines = 512;   // waiting event or output lines
constexpr std::size_t kMaxBans = 4096;         // entries of each ban list
constexpr std::size_t kMaxSettings = 512;      // distinct setting keys kept
constexpr std::size_t kMaxValueLength = 1023;  // longest setting value kept

struct Player {
  int id = 0;
  std::string name;
  bool bot = false;
  std::string ip;  // dotted quad
  int port = 0;
  std::string keyhash;  // 32 hex digits
  std::string guid;     // 32 hex digits
  int team = 1;         // 1 nva, 2 usa
  int score = 0;
  int kills = 0;
  int deaths = 0;
  int ping = 0;
  bool lagging = false;  // the ping stays at 600 or more
};

struct MapCombo {
  std::string map = "hue_city";
  std::string mode = "GPM_CQ";
  std::string mod = "bfvietnam";
};

enum class Phase { kPlaying, kEnded };

// What a new player may carry; empty fields are drawn from the seed.
struct NewPlayer {
  std::string name;
  bool bot = false;
  int team = 0;
  std::string ip;
  std::string keyhash;
  bool noKeyhash = false;  // the console lists the player without a key hash
  bool lagging = false;
  std::string guid;
  std::optional<int> score;
  std::optional<int> ping;
};

class Game {
 public:
  explicit Game(std::uint32_t seed);

  // Settings, by key without regard to case; values are kept as given.
  void SetSetting(const std::string& key, const std::string& value);
  std::optional<std::string> Setting(const std::string& key) const;
  std::string SettingOr(const std::string& key, const std::string& fallback) const;
  long NumberSetting(const std::string& key, long fallback) const;
  bool IsSettingKey(const std::string& key) const;

  // Players.
  const std::vector<Player>& players() const { return players_; }
  Player* FindPlayer(int id);
  // Adds a player or bot; nullopt with `error` when the name is unfit, the
  // server is full or the player is banned.
  std::optional<int> AddPlayer(const NewPlayer& wanted, std::string& error);
  bool RemovePlayer(int id, const std::string& why);
  std::size_t HumanCount() const;
  int MaxPlayers() const;

  // Bans: addresses without port, key hashes, PunkBuster GUIDs.
  bool BanAddress(const std::string& address, const std::string& duration);
  bool BanKey(const std::string& keyhash, const std::string& duration);
  bool UnbanAddress(const std::string& address);
  bool UnbanKey(const std::string& keyhash);
  void ClearBans();
  bool BanGuid(const std::string& guid);
  bool UnbanGuid(const std::string& guid);
  void ClearGuidBans();
  std::vector<std::string> BanListLines() const;  // banlist.con
  std::vector<std::string> GuidBanLines() const;  // pb/pbbans.dat
  void LoadGuidBanLines(const std::vector<std::string>& lines);
  bool IsBanned(const Player& player) const;
  bool bansChanged = false;  // the ban list files need rewriting
  bool guidBansChanged = false;

  // Rounds and maps.
  void SetRotation(std::vector<MapCombo> rotation);
  const MapCombo& currentMap() const { return current_; }
  void ChangeMap(const MapCombo& combo);
  void SetNextMap(const MapCombo& combo) { next_ = combo; }
  void RestartRound();
  void RunNextLevel();
  void EndRound();
  Phase phase() const { return phase_; }
  bool paused() const { return paused_; }
  void TogglePause();
  int tickets1() const { return tickets_[0]; }
  int tickets2() const { return tickets_[1]; }
  long RoundTimeRemaining() const;  // -1 without a time limit
  int roundNumber() const { return round_; }

  // Time passes: the round clock runs (not while paused), rounds end and the
  // next begin; with a simulation period, players come, go, score and chat.
  void Advance(double seconds);
  void SetSimulationPeriod(double seconds) { simPeriod_ = seconds; }
  void SetRoundSeconds(long seconds) { defaultRoundSeconds_ = seconds; }
  // So many lagging players are kept on the server: one who left is now and
  // then replaced by a newcomer on a bad line.
  void SetLaggers(int count) { laggers_ = count; }
  void SimulateStep();

  // Lines for the console: events go out with the next reply of any kind,
  // output with the next output request.
  void QueueEvent(const std::string& text);
  void QueueOutput(const std::string& text);
  std::vector<std::string> TakeEvents();
  std::vector<std::string> TakeOutput();
  void Chat(const Player& player, const std::string& text);

  // Draws from the seeded generator.
  std::uint32_t Draw(std::uint32_t bound);
  std::string RandomHex(std::size_t digits);

 private:
  void StartRound();
  void BalanceTeams();
  void KickBannedPlayers();
  int SmallerTeam() const;
  long RoundSeconds() const;
  std::string DrawName();

  std::mt19937 rng_;
  int laggers_ = 0;
  std::map<std::string, std::string> settings_;  // lower-case key -> value
  std::vector<Player> players_;
  int nextId_ = 1;

  std::vector<std::pair<std::string, std::string>> addressBans_;  // address, duration
  std::vector<std::pair<std::string, std::string>> keyBans_;
  std::vector<std::string> guidBans_;  // whole pbbans.dat lines

  std::vector<MapCombo> rotation_{MapCombo{}};
  std::size_t rotationIndex_ = 0;
  std::optional<MapCombo> next_;
  MapCombo current_;
  Phase phase_ = Phase::kPlaying;
  bool paused_ = false;
  int round_ = 1;
  double roundClock_ = 0;
  double endClock_ = 0;
  double simClock_ = 0;
  double simPeriod_ = 0;
  long defaultRoundSeconds_ = 1200;
  int tickets_[2] = {0, 0};

  std::deque<std::string> events_;
  std::deque<std::string> output_;
};

// "Hue City" for "hue_city"; the game mode name of the status reply for a code.
std::string MapDisplayName(const std::string& map);
std::string GameTypeName(const std::string& modeCode);
std::string LowerCase(std::string text);
bool ValidPlayerName(const std::string& name, std::string& error);

}  // namespace gamesim
