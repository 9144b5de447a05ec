// The console commands of the stand-in game.
#include "commands.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace gamesim {
namespace {

constexpr const char* kPunkBusterVersion = "(v1.180 | A1.185 C2.150)";

// The first word and the rest of the line after the spaces that follow it.
void SplitCommand(const std::string& line, std::string& word, std::string& rest) {
  const auto end = line.find(' ');
  word = line.substr(0, end);
  rest.clear();
  if (end == std::string::npos) return;
  const auto start = line.find_first_not_of(' ', end);
  if (start != std::string::npos) rest = line.substr(start);
  while (!rest.empty() && rest.back() == ' ') rest.pop_back();
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  std::string word;
  while (words.size() < 16 && stream >> word) words.push_back(word);
  return words;
}

std::string Unquote(std::string text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

// A decimal player id, or nullopt for anything else.
std::optional<int> ParseId(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || value < 0) return std::nullopt;
  return static_cast<int>(value);
}

bool PunkBusterEnabled(const Server& server) {
  return server.game.NumberSetting("game.serverPunkBuster", 0) != 0;
}

std::optional<MapCombo> ParseCombo(const std::string& text) {
  const std::vector<std::string> words = Words(Unquote(text));
  if (words.empty()) return std::nullopt;
  MapCombo combo;
  combo.map = LowerCase(words[0]);
  if (words.size() > 1) combo.mode = words[1];
  if (words.size() > 2) combo.mod = LowerCase(words[2]);
  return combo;
}

void PunkBusterPlayerList(Server& server) {
  Game& game = server.game;
  game.QueueOutput(
      "PunkBuster Server: Player List: [Slot #] [GUID] [Address] [Status] [Power] [Auth Rate] "
      "[Recent SS] [O/S] [Name]");
  int slot = 0;
  for (const Player& player : game.players()) {
    if (player.bot) continue;
    char line[256];
    // The GUID starts five characters after the first ':' and ends at the next '('.
    std::snprintf(line, sizeof line, "PunkBuster Server: %-3d%s(-) %s:%d OK   1 0.0 0 (W) %s",
                  ++slot, player.guid.c_str(), player.ip.c_str(), player.port, player.name.c_str());
    game.QueueOutput(line);
  }
  game.QueueOutput("PunkBuster Server: End of Player List (" + std::to_string(slot) + " Players)");
}

bool RunPunkBusterCommand(Server& server, const std::string& word, const std::string& rest) {
  Game& game = server.game;
  const std::string command = LowerCase(word);
  if (command == "pb_sv_plist") {
    PunkBusterPlayerList(server);
  } else if (command == "pb_sv_ver") {
    game.QueueOutput(std::string("PunkBuster Server: ") + kPunkBusterVersion + " gamesim");
  } else if (command == "pb_sv_banguid") {
    const std::string guid = Words(rest).empty() ? "" : Words(rest)[0];
    game.QueueOutput(game.BanGuid(guid) ? "PunkBuster Server: Guid " + guid + " banned"
                                        : "PunkBuster Server: Invalid GUID");
  } else if (command == "pb_sv_unbanguid") {
    const std::string guid = Words(rest).empty() ? "" : Words(rest)[0];
    game.QueueOutput(game.UnbanGuid(guid) ? "PunkBuster Server: Guid " + guid + " unbanned"
                                          : "PunkBuster Server: Guid not found");
  } else if (command == "pb_sv_banempty") {
    game.ClearGuidBans();
    game.QueueOutput("PunkBuster Server: Ban list emptied");
  } else if (command == "pb_sv_updbanfile") {
    game.guidBansChanged = true;
    game.QueueOutput("PunkBuster Server: Ban file updated");
  } else if (command == "pb_sv_getss") {
    game.QueueOutput("PunkBuster Server: Screenshot requested of " + Unquote(rest));
  } else if (command == "pb_sv_writecfg") {
    std::ofstream file(server.serverDir + "/pb/pbsv.cfg", std::ios::trunc);
    game.QueueOutput(file ? "PunkBuster Server: Settings written to pbsv.cfg"
                          : "PunkBuster Server: Couldn't write pbsv.cfg");
  } else if (command == "pb_sv_load") {
    game.QueueOutput("PunkBuster Server: Loaded " + rest);
  } else {
    game.QueueOutput("PunkBuster Server: " + word + " done");
  }
  return true;
}

void ListBans(const Server& server, const std::string& prefix, std::vector<std::string>& reply) {
  for (const std::string& line : server.game.BanListLines()) {
    if (line.rfind(prefix, 0) == 0) reply.push_back(line.substr(prefix.size()));
  }
}

void Unknown(const std::string& word, std::vector<std::string>& reply) {
  reply.push_back("Unknown command: " + word.substr(0, 64));
}

// Commands that act on one player by id.
bool RunPlayerCommand(Server& server, const std::string& command, const std::string& rest,
                      std::vector<std::string>& reply) {
  Game& game = server.game;
  const auto id = ParseId(Words(rest).empty() ? "" : Words(rest)[0]);
  Player* player = id ? game.FindPlayer(*id) : nullptr;
  if (!player) {
    reply.push_back("No player with id " + rest.substr(0, 16));
    return true;
  }
  if (command == "admin.kickplayer") {
    game.RemovePlayer(player->id, "was kicked");
  } else if (command == "admin.banplayer") {
    game.BanAddress(player->ip, "Perm");
  } else if (command == "admin.banplayerkey") {
    game.BanKey(player->keyhash, "Perm");
  } else {
    ++player->deaths;
    game.QueueEvent("[Game] " + player->name + " was killed by an admin");
  }
  return true;
}

}  // namespace

std::string PlayerListLine(const Player& player) {
  if (player.bot) return "Id:" + std::to_string(player.id) + " - " + player.name + " is an AI bot";
  const std::string line = "Id:" + std::to_string(player.id) + " - " + player.name +
                           " is remote ip: " + player.ip + ":" + std::to_string(player.port);
  return player.keyhash.empty() ? line : line + " hash:" + player.keyhash;
}

void RunConsoleLine(Server& server, const std::string& text, std::vector<std::string>& reply) {
  // Lines from files written on other systems may end in CR.
  std::string line = text;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  std::string word;
  std::string rest;
  SplitCommand(line, word, rest);
  if (word.empty()) return;
  ++server.commandCount;
  Log("console: %s", line.c_str());
  Game& game = server.game;
  const std::string command = LowerCase(word);
  const std::vector<std::string> args = Words(rest);
  const std::string first = args.empty() ? "" : args[0];
  const std::string second = args.size() > 1 ? args[1] : "";

  if (command == "game.listplayers") {
    for (const Player& player : game.players()) reply.push_back(PlayerListLine(player));
  } else if (command.rfind("pb_sv_", 0) == 0) {
    if (!PunkBusterEnabled(server)) return Unknown(word, reply);
    RunPunkBusterCommand(server, word, rest);
  } else if (command == "admin.kickplayer" || command == "admin.banplayer" ||
             command == "admin.banplayerkey" || command == "admin.admin_killplayer") {
    RunPlayerCommand(server, command, rest, reply);
  } else if (command == "admin.addaddresstobanlist") {
    if (!game.BanAddress(first, second)) reply.push_back("Couldn't ban address " + first);
  } else if (command == "admin.addkeytobanlist") {
    if (!game.BanKey(first, second)) reply.push_back("Couldn't ban key " + first);
  } else if (command == "admin.removeaddressfrombanlist") {
    if (!game.UnbanAddress(first)) reply.push_back("Address " + first + " is not banned");
  } else if (command == "admin.removekeyfrombanlist") {
    if (!game.UnbanKey(first)) reply.push_back("Key " + first + " is not banned");
  } else if (command == "admin.clearbanlist") {
    game.ClearBans();
  } else if (command == "admin.listbannedaddresses") {
    ListBans(server, "admin.addAddressToBanList ", reply);
  } else if (command == "admin.listbannedkeys") {
    ListBans(server, "admin.addKeyToBanList ", reply);
  } else if (command == "admin.changemap" || command == "admin.setnextlevel") {
    const auto combo = ParseCombo(rest);
    if (!combo) return reply.push_back("Usage: " + word + " map [mode [mod]]");
    if (command == "admin.changemap")
      game.ChangeMap(*combo);
    else
      game.SetNextMap(*combo);
  } else if (command == "admin.restartmap") {
    game.RestartRound();
  } else if (command == "admin.runnextlevel") {
    game.RunNextLevel();
  } else if (command == "admin.togglegamepause") {
    game.TogglePause();
  } else if (command == "admin.servermessage" || command == "game.sayall") {
    server.lastMessage = Unquote(rest);
    Log("%s: %s", command == "game.sayall" ? "chat" : "server message", server.lastMessage.c_str());
  } else if (command == "admin.enableremoteconsole") {
    server.consoleEnabled = true;
    if (args.size() > 0) server.consoleUser = args[0];
    if (args.size() > 1) server.consolePassword = args[1];
    if (args.size() > 2 && std::atoi(args[2].c_str()) > 0) {
      server.consolePort = std::atoi(args[2].c_str());
    }
  } else if (command == "admin.enableremoteadmin" || command == "admin.disableremoteadmin") {
    game.SetSetting("admin.enableRemoteAdmin", command == "admin.disableremoteadmin" ? "0" : "1");
  } else if (command == "game.setcurrentlevel" || command == "game.addleveltorotation") {
    // The rotation is read from maplist.con at start-up.
  } else if (command == "quit") {
    server.quitRequested = true;
  } else if (rest.empty()) {
    // A bare key asks for the current value, one line.
    const auto value = game.Setting(word);
    if (!value) return Unknown(word, reply);
    reply.push_back(*value);
  } else if (command.rfind("admin.", 0) == 0 || command.rfind("game.", 0) == 0 ||
             command.rfind("physics.", 0) == 0) {
    game.SetSetting(word, Unquote(rest));
  } else {
    Unknown(word, reply);
  }
}

}  // namespace gamesim
