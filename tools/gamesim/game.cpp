// The simulated game: rounds, players, bans and the lines for the console.
#include "game.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace gamesim {
namespace {

// What the game answers for a key that no file or command has set.
const std::pair<const char*, const char*> kDefaultSettings[] = {
    {"game.serverName", "BFSERVER"},
    {"game.serverIP", "0.0.0.0"},
    {"game.serverPort", "15567"},
    {"game.gameSpyPort", "23000"},
    {"game.gameSpyLANPort", "22000"},
    {"game.serverMaxPlayers", "32"},
    {"game.serverInternet", "0"},
    {"game.serverPassword", ""},
    {"game.serverPunkBuster", "0"},
    {"game.serverContentCheck", "0"},
    {"game.serverNumReservedSlots", "0"},
    {"admin.bandwidthChokeLimit", "0"},
    {"admin.maxAllowedConnectionType", "CTLanT1"},
    {"admin.setNrOfRounds", "3"},
    {"admin.timeLimit", "0"},
    {"admin.scoreLimit", "0"},
    {"admin.setTicketRatio", "1.00"},
    {"admin.timeToNextWave", "15"},
    {"admin.spawnWaveTime", "5"},
    {"admin.delayBeforeStartingGame", "20"},
    {"admin.timeBeforeRestartMap", "10"},
    {"admin.soldierFFRatio", "1.00"},
    {"admin.soldierFFRatioOnSplash", "1.00"},
    {"admin.vehicleFFRatio", "1.00"},
    {"admin.vehicleFFRatioOnSplash", "1.00"},
    {"admin.kickback", "0.00"},
    {"admin.kickbackOnSplash", "0.00"},
    {"admin.tkPunishMode", "0"},
    {"admin.banPlayerOnTKKick", "0"},
    {"admin.nrOfTKToKick", "3"},
    {"admin.spawnDelayPenaltyForTK", "0.0"},
    {"admin.enableKickPlayerVote", "1"},
    {"admin.enableMapVote", "1"},
    {"admin.enableKickTeamPlayerVote", "1"},
    {"admin.autoBalanceTeam", "0"},
    {"admin.votingTime", "60"},
    {"admin.voteMapMajority", "0.60"},
    {"admin.voteKickPlayerMajority", "0.60"},
    {"admin.voteKickTeamPlayerMajority", "0.60"},
    {"admin.externalViews", "1"},
    {"admin.allowNoseCam", "1"},
    {"admin.crossHairCenterPoint", "1"},
    {"game.enableFreeCamera", "0"},
    {"physics.gravity", "-4"},
};

const char* const kNameStarts[] = {"Iron",  "Red",   "Swift", "Night",  "Jungle", "Delta",
                                   "Ghost", "Lucky", "Mad",   "Silent", "River",  "Hot"};
const char* const kNameEnds[] = {"Dog",   "Hawk", "Rider", "Fox",  "Viper", "Eagle",
                                 "Tiger", "Wolf", "Snake", "Bear", "Cobra", "Shot"};
const char* const kChatLines[] = {"gg",        "where is everyone?",
                                  "nice shot", "need a pilot",
                                  "lol",       "anyone up for the next round?",
                                  "medic!",    "hold the bridge",
                                  "noob team", "stop camping, noob"};

constexpr int kTicketsPerRatio = 300;  // tickets of each team at ratio 1.00

bool ContainsNoCase(const std::string& text, const std::string& part) {
  return LowerCase(text).find(LowerCase(part)) != std::string::npos;
}

// The GUID of a pbbans.dat line: its first space-delimited token of 32 characters.
std::string GuidOfLine(const std::string& line) {
  std::size_t at = 0;
  while ((at = line.find_first_not_of(' ', at)) != std::string::npos) {
    const auto end = std::min(line.find(' ', at), line.size());
    if (end - at == 32) return LowerCase(line.substr(at, 32));
    at = end;
  }
  return "";
}

}  // namespace

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string MapDisplayName(const std::string& map) {
  std::string shown;
  bool wordStart = true;
  for (char c : map) {
    if (c == '_') {
      shown.push_back(' ');
      wordStart = true;
      continue;
    }
    shown.push_back(wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c);
    wordStart = false;
  }
  return shown;
}

std::string GameTypeName(const std::string& modeCode) {
  const std::string code = LowerCase(modeCode);
  if (code == "gpm_cq") return "conquest";
  if (code == "gpm_coop") return "coop";
  if (code == "gpm_evol") return "evolution";
  if (code == "gpm_ccombat") return "customcombat";
  return "unknown";
}

bool ValidPlayerName(const std::string& name, std::string& error) {
  if (name.empty() || name.size() > kMaxNameLength) {
    error = "a name has 1 to 31 characters";
    return false;
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
      error = "a name holds no control characters, quotes or backslashes";
      return false;
    }
  }
  // These would make the player list unreadable. A ": " is let through, as the
  // game does: such a name makes a chat line read as if another had spoken.
  if (ContainsNoCase(name, "is remote") || ContainsNoCase(name, "is an ai bot") ||
      name.front() == ' ' || name.back() == ' ') {
    error = "the name would break the player list";
    return false;
  }
  return true;
}

Game::Game(std::uint32_t seed) : rng_(seed) {
  for (const auto& [key, value] : kDefaultSettings) settings_[LowerCase(key)] = value;
  StartRound();
}

void Game::SetSetting(const std::string& key, const std::string& value) {
  const std::string lower = LowerCase(key);
  if (settings_.size() >= kMaxSettings && settings_.count(lower) == 0) return;
  settings_[lower] = value.substr(0, kMaxValueLength);
  if (lower == "admin.autobalanceteam" && NumberSetting(lower, 0) != 0) BalanceTeams();
}

std::optional<std::string> Game::Setting(const std::string& key) const {
  auto found = settings_.find(LowerCase(key));
  if (found == settings_.end()) return std::nullopt;
  return found->second;
}

std::string Game::SettingOr(const std::string& key, const std::string& fallback) const {
  return Setting(key).value_or(fallback);
}

long Game::NumberSetting(const std::string& key, long fallback) const {
  auto value = Setting(key);
  if (!value || value->empty()) return fallback;
  char* end = nullptr;
  const long number = std::strtol(value->c_str(), &end, 10);
  return end == value->c_str() ? fallback : number;
}

bool Game::IsSettingKey(const std::string& key) const {
  return settings_.count(LowerCase(key));
}

Player* Game::FindPlayer(int id) {
  for (Player& player : players_) {
    if (player.id == id) return &player;
  }
  return nullptr;
}

std::size_t Game::HumanCount() const {
  return std::count_if(players_.begin(), players_.end(), [](const Player& p) { return !p.bot; });
}

int Game::MaxPlayers() const {
  const long limit = NumberSetting("game.serverMaxPlayers", 32);
  return static_cast<int>(std::clamp<long>(limit, 2, kMaxPlayers));
}

int Game::SmallerTeam() const {
  int sizes[3] = {0, 0, 0};
  for (const Player& player : players_) sizes[player.team == 2 ? 2 : 1]++;
  return sizes[2] < sizes[1] ? 2 : 1;
}

std::optional<int> Game::AddPlayer(const NewPlayer& wanted, std::string& error) {
  const std::string name = wanted.name.empty() ? DrawName() : wanted.name;
  if (!ValidPlayerName(name, error)) return std::nullopt;
  for (const Player& other : players_) {
    if (other.name == name) {
      error = "a player of that name is on the server";
      return std::nullopt;
    }
  }
  if (players_.size() >= static_cast<std::size_t>(MaxPlayers())) {
    error = "the server is full";
    return std::nullopt;
  }
  Player player;
  player.name = name;
  player.bot = wanted.bot;
  player.team = (wanted.team == 1 || wanted.team == 2) ? wanted.team : SmallerTeam();
  player.ip = wanted.ip.empty()
                  ? "10." + std::to_string(Draw(256)) + "." + std::to_string(Draw(256)) + "." +
                        std::to_string(1 + Draw(254))
                  : wanted.ip;
  player.port = 1024 + static_cast<int>(Draw(64000));
  player.keyhash = wanted.noKeyhash ? "" : wanted.keyhash.empty() ? RandomHex(32) : wanted.keyhash;
  player.guid = wanted.guid.empty() ? RandomHex(32) : wanted.guid;
  player.score = wanted.score.value_or(0);
  player.lagging = wanted.lagging && !wanted.bot;
  const int basePing =
      player.lagging ? 600 + static_cast<int>(Draw(300)) : 30 + static_cast<int>(Draw(120));
  player.ping = wanted.ping.value_or(wanted.bot ? 0 : basePing);
  if (!player.bot && IsBanned(player)) {
    QueueEvent("[Game] " + player.name + " is banned and was refused");
    error = "the player is banned";
    return std::nullopt;
  }
  player.id = nextId_++;
  players_.push_back(player);
  QueueEvent("[Game] " + player.name + " joined the game");
  return player.id;
}

bool Game::RemovePlayer(int id, const std::string& why) {
  auto found = std::find_if(players_.begin(), players_.end(),
                            [id](const Player& player) { return player.id == id; });
  if (found == players_.end()) return false;
  QueueEvent("[Game] " + found->name + " " + why);
  players_.erase(found);
  return true;
}

bool Game::IsBanned(const Player& player) const {
  for (const auto& ban : addressBans_) {
    if (ban.first == player.ip) return true;
  }
  for (const auto& ban : keyBans_) {
    if (LowerCase(ban.first) == LowerCase(player.keyhash)) return true;
  }
  for (const std::string& line : guidBans_) {
    if (!player.guid.empty() && GuidOfLine(line) == LowerCase(player.guid)) return true;
  }
  return false;
}

void Game::KickBannedPlayers() {
  std::vector<int> banned;
  for (const Player& player : players_) {
    if (!player.bot && IsBanned(player)) banned.push_back(player.id);
  }
  for (int id : banned) RemovePlayer(id, "was banned");
}

bool Game::BanAddress(const std::string& address, const std::string& duration) {
  const std::string bare = address.substr(0, address.find(':'));
  if (bare.empty() || addressBans_.size() >= kMaxBans) return false;
  for (const auto& ban : addressBans_) {
    if (ban.first == bare) return true;
  }
  addressBans_.emplace_back(bare, duration.empty() ? "Perm" : duration);
  bansChanged = true;
  KickBannedPlayers();
  return true;
}

bool Game::BanKey(const std::string& keyhash, const std::string& duration) {
  if (keyhash.empty() || keyBans_.size() >= kMaxBans) return false;
  for (const auto& ban : keyBans_) {
    if (LowerCase(ban.first) == LowerCase(keyhash)) return true;
  }
  keyBans_.emplace_back(keyhash, duration.empty() ? "Perm" : duration);
  bansChanged = true;
  KickBannedPlayers();
  return true;
}

bool Game::UnbanAddress(const std::string& address) {
  const std::string bare = address.substr(0, address.find(':'));
  const auto before = addressBans_.size();
  std::erase_if(addressBans_, [&](const auto& ban) { return ban.first == bare; });
  bansChanged = bansChanged || before != addressBans_.size();
  return before != addressBans_.size();
}

bool Game::UnbanKey(const std::string& keyhash) {
  const auto before = keyBans_.size();
  std::erase_if(keyBans_,
                [&](const auto& ban) { return LowerCase(ban.first) == LowerCase(keyhash); });
  bansChanged = bansChanged || before != keyBans_.size();
  return before != keyBans_.size();
}

void Game::ClearBans() {
  addressBans_.clear();
  keyBans_.clear();
  bansChanged = true;
}

bool Game::BanGuid(const std::string& guid) {
  if (guid.size() != 32 || guidBans_.size() >= kMaxBans) return false;
  for (const std::string& line : guidBans_) {
    if (GuidOfLine(line) == LowerCase(guid)) return true;
  }
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "[%m.%d.%Y %H.%M.%S]", std::localtime(&now));
  guidBans_.push_back(std::string(stamp) + " " + guid + " \"\" \"\"");
  guidBansChanged = true;
  KickBannedPlayers();
  return true;
}

bool Game::UnbanGuid(const std::string& guid) {
  if (guid.size() != 32) return false;
  const auto before = guidBans_.size();
  std::erase_if(guidBans_,
                [&](const std::string& line) { return GuidOfLine(line) == LowerCase(guid); });
  guidBansChanged = guidBansChanged || before != guidBans_.size();
  return before != guidBans_.size();
}

void Game::ClearGuidBans() {
  guidBans_.clear();
  guidBansChanged = true;
}

std::vector<std::string> Game::BanListLines() const {
  std::vector<std::string> lines;
  for (const auto& [address, duration] : addressBans_) {
    lines.push_back("admin.addAddressToBanList " + address + ":0 " + duration);
  }
  for (const auto& [keyhash, duration] : keyBans_) {
    lines.push_back("admin.addKeyToBanList " + keyhash + " " + duration);
  }
  return lines;
}

std::vector<std::string> Game::GuidBanLines() const {
  return guidBans_;
}

void Game::LoadGuidBanLines(const std::vector<std::string>& lines) {
  guidBans_.assign(lines.begin(),
                   lines.begin() + static_cast<long>(std::min(lines.size(), kMaxBans)));
}

void Game::SetRotation(std::vector<MapCombo> rotation) {
  if (rotation.empty()) rotation.push_back(MapCombo{});
  rotation_ = std::move(rotation);
  rotationIndex_ = 0;
  current_ = rotation_.front();
  round_ = 1;
  StartRound();
}

long Game::RoundSeconds() const {
  const long limit = NumberSetting("admin.timeLimit", 0);
  return limit > 0 ? limit : defaultRoundSeconds_;
}

long Game::RoundTimeRemaining() const {
  if (NumberSetting("admin.timeLimit", 0) <= 0) return -1;
  return std::max(0L, RoundSeconds() - static_cast<long>(roundClock_));
}

void Game::StartRound() {
  phase_ = Phase::kPlaying;
  roundClock_ = 0;
  endClock_ = 0;
  const double ratio = std::strtod(SettingOr("admin.setTicketRatio", "1.00").c_str(), nullptr);
  const int tickets = std::clamp(static_cast<int>(ratio * kTicketsPerRatio), 1, 30000);
  tickets_[0] = tickets_[1] = tickets;
  for (Player& player : players_) player.score = player.kills = player.deaths = 0;
}

void Game::ChangeMap(const MapCombo& combo) {
  current_ = combo;
  next_.reset();
  round_ = 1;
  QueueEvent("[Game] Changing map to " + combo.map + " " + combo.mode + " " + combo.mod);
  StartRound();
}

void Game::RestartRound() {
  QueueEvent("[Game] Restarting map " + current_.map);
  StartRound();
}

void Game::RunNextLevel() {
  MapCombo combo;
  if (next_) {
    combo = *next_;
  } else {
    rotationIndex_ = (rotationIndex_ + 1) % rotation_.size();
    combo = rotation_[rotationIndex_];
  }
  ChangeMap(combo);
}

void Game::EndRound() {
  if (phase_ == Phase::kEnded) return;
  phase_ = Phase::kEnded;
  endClock_ = 0;
  QueueEvent("[Game] Round " + std::to_string(round_) + " on " + current_.map + " ended");
}

void Game::TogglePause() {
  paused_ = !paused_;
  QueueEvent(paused_ ? "[Game] Game paused" : "[Game] Game resumed");
}

void Game::Advance(double seconds) {
  if (seconds <= 0) return;
  if (phase_ == Phase::kEnded) {
    endClock_ += seconds;
    const long wait = std::max(1L, NumberSetting("admin.timeBeforeRestartMap", 10));
    if (endClock_ < wait) return;
    const long rounds = NumberSetting("admin.setNrOfRounds", 3);
    if (round_ < std::max(1L, rounds)) {
      ++round_;
      QueueEvent("[Game] Round " + std::to_string(round_) + " on " + current_.map + " started");
      StartRound();
    } else {
      RunNextLevel();
    }
    return;
  }
  if (paused_) return;
  roundClock_ += seconds;
  if (simPeriod_ > 0) {
    simClock_ += seconds;
    while (simClock_ >= simPeriod_ && phase_ == Phase::kPlaying) {
      simClock_ -= simPeriod_;
      SimulateStep();
    }
  }
  if (phase_ == Phase::kPlaying &&
      (roundClock_ >= RoundSeconds() || tickets_[0] <= 0 || tickets_[1] <= 0)) {
    EndRound();
  }
}

void Game::SimulateStep() {
  // Simulated players fill the server to three quarters; the rest is for tests.
  const int room = MaxPlayers() * 3 / 4 - static_cast<int>(players_.size());
  if (room > 0 && Draw(100) < 30) {
    std::string ignored;
    AddPlayer(NewPlayer{}, ignored);
  } else if (HumanCount() > 0 && Draw(100) < 10) {
    std::vector<int> humans;
    for (const Player& player : players_) {
      if (!player.bot) humans.push_back(player.id);
    }
    RemovePlayer(humans[Draw(static_cast<std::uint32_t>(humans.size()))], "left the game");
  }
  for (Player& player : players_) {
    if (Draw(100) < 40) {
      ++player.kills;
      player.score += 2;
      tickets_[player.team == 1 ? 1 : 0] -= 1;
    }
    if (Draw(100) < 30) ++player.deaths;
    if (Draw(100) < 3) player.score -= 2;  // a team kill
    if (!player.bot)
      player.ping =
          std::clamp(player.ping + static_cast<int>(Draw(41)) - 20, player.lagging ? 600 : 5, 999);
  }
  if (laggers_ > 0) {
    const auto lagging =
        std::count_if(players_.begin(), players_.end(), [](const Player& p) { return p.lagging; });
    if (lagging < laggers_ && Draw(100) < 10) {
      NewPlayer newcomer;
      newcomer.lagging = true;
      std::string ignored;
      AddPlayer(newcomer, ignored);
    }
  }
  if (HumanCount() > 0 && Draw(100) < 30) {
    std::vector<const Player*> humans;
    for (const Player& player : players_) {
      if (!player.bot) humans.push_back(&player);
    }
    const Player& speaker = *humans[Draw(static_cast<std::uint32_t>(humans.size()))];
    Chat(speaker, kChatLines[Draw(std::size(kChatLines))]);
  }
  if (NumberSetting("admin.autoBalanceTeam", 0) != 0) BalanceTeams();
}

void Game::BalanceTeams() {
  for (;;) {
    int sizes[3] = {0, 0, 0};
    for (const Player& player : players_) sizes[player.team == 2 ? 2 : 1]++;
    const int bigger = sizes[2] > sizes[1] ? 2 : 1;
    if (std::abs(sizes[2] - sizes[1]) <= 1) return;
    for (auto it = players_.rbegin(); it != players_.rend(); ++it) {
      if ((it->team == 2 ? 2 : 1) == bigger) {
        it->team = 3 - bigger;
        QueueEvent("[Game] " + it->name + " was moved to balance the teams");
        break;
      }
    }
  }
}

void Game::QueueEvent(const std::string& text) {
  if (events_.size() >= kMaxQueuedLines) events_.pop_front();
  events_.push_back(text);
}

void Game::QueueOutput(const std::string& text) {
  if (output_.size() >= kMaxQueuedLines) output_.pop_front();
  output_.push_back(text);
}

std::vector<std::string> Game::TakeEvents() {
  std::vector<std::string> taken(events_.begin(), events_.end());
  events_.clear();
  return taken;
}

std::vector<std::string> Game::TakeOutput() {
  std::vector<std::string> taken(output_.begin(), output_.end());
  output_.clear();
  return taken;
}

void Game::Chat(const Player& player, const std::string& text) {
  QueueEvent("[All] " + player.name + ": " + text);
}

std::uint32_t Game::Draw(std::uint32_t bound) {
  return bound == 0 ? 0 : static_cast<std::uint32_t>(rng_() % bound);
}

std::string Game::RandomHex(std::size_t digits) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < digits; ++i) text.push_back(kDigits[Draw(16)]);
  return text;
}

std::string Game::DrawName() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    std::string name = std::string(kNameStarts[Draw(std::size(kNameStarts))]) +
                       kNameEnds[Draw(std::size(kNameEnds))];
    if (Draw(2) == 0) name += std::to_string(Draw(100));
    const bool taken = std::any_of(players_.begin(), players_.end(),
                                   [&](const Player& p) { return p.name == name; });
    if (!taken) return name;
  }
  return "Player" + std::to_string(nextId_);
}

}  // namespace gamesim
