// The control channel: commands that tests use to steer the simulated game.
#include "control.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>
#include <vector>

namespace gamesim {
namespace {

std::vector<std::string> Tokens(const std::string& text) {
  std::vector<std::string> tokens;
  std::size_t at = 0;
  while (tokens.size() < 32) {
    at = text.find_first_not_of(' ', at);
    if (at == std::string::npos) break;
    if (text[at] == '"') {
      // A quoted token may hold spaces.
      const auto end = text.find('"', at + 1);
      tokens.push_back(text.substr(at + 1, end == std::string::npos ? end : end - at - 1));
      at = end == std::string::npos ? text.size() : end + 1;
    } else {
      const auto end = text.find(' ', at);
      tokens.push_back(text.substr(at, end == std::string::npos ? end : end - at));
      at = end == std::string::npos ? text.size() : end;
    }
  }
  return tokens;
}

std::optional<long> Number(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0') return std::nullopt;
  return value;
}

std::optional<bool> Switch(const std::vector<std::string>& tokens, bool current) {
  if (tokens.size() < 2) return !current;
  if (tokens[1] == "on" || tokens[1] == "1") return true;
  if (tokens[1] == "off" || tokens[1] == "0") return false;
  return std::nullopt;
}

bool HexOf32(const std::string& text) {
  return text.size() == 32 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

std::string AddPlayer(Server& server, const std::vector<std::string>& tokens, bool bot) {
  if (tokens.size() < 2)
    return "error usage: add NAME [team=N ip=A keyhash=H|none guid=G score=N ping=N]";
  NewPlayer wanted;
  wanted.name = tokens[1];
  wanted.bot = bot;
  for (std::size_t i = 2; i < tokens.size(); ++i) {
    const auto equals = tokens[i].find('=');
    const std::string key = tokens[i].substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : tokens[i].substr(equals + 1);
    const auto number = Number(value);
    if (key == "team" && number && (*number == 1 || *number == 2)) {
      wanted.team = static_cast<int>(*number);
    } else if (key == "ip" && !value.empty() && value.size() <= 15 &&
               value.find_first_not_of("0123456789.") == std::string::npos) {
      wanted.ip = value;
    } else if (key == "keyhash" && HexOf32(value)) {
      wanted.keyhash = value;
    } else if (key == "keyhash" && value == "none") {
      wanted.noKeyhash = true;
    } else if (key == "guid" && HexOf32(value)) {
      wanted.guid = value;
    } else if (key == "score" && number) {
      wanted.score = static_cast<int>(*number);
    } else if (key == "ping" && number && *number >= 0) {
      wanted.ping = static_cast<int>(*number);
    } else {
      return "error bad option " + tokens[i].substr(0, 64);
    }
  }
  std::string error;
  const auto id = server.game.AddPlayer(wanted, error);
  if (!id) return "error " + error;
  return "ok " + std::to_string(*id);
}

std::string SetField(Server& server, const std::vector<std::string>& tokens) {
  if (tokens.size() != 4) return "error usage: set ID score|kills|deaths|ping|team VALUE";
  const auto id = Number(tokens[1]);
  const auto value = Number(tokens[3]);
  Player* player = id ? server.game.FindPlayer(static_cast<int>(*id)) : nullptr;
  if (!player) return "error no such player";
  if (!value || *value < -99999 || *value > 99999) return "error bad value";
  const int v = static_cast<int>(*value);
  if (tokens[2] == "score")
    player->score = v;
  else if (tokens[2] == "kills")
    player->kills = v;
  else if (tokens[2] == "deaths")
    player->deaths = v;
  else if (tokens[2] == "ping" && v >= 0)
    player->ping = v;
  else if (tokens[2] == "team" && (v == 1 || v == 2))
    player->team = v;
  else
    return "error bad field or value";
  return "ok";
}

std::string ListPlayers(const Server& server) {
  std::string text = "ok " + std::to_string(server.game.players().size());
  for (const Player& player : server.game.players()) {
    text += " " + std::to_string(player.id) + ":" + player.name;
  }
  return text;
}

}  // namespace

std::string RunControlCommand(Server& server, const std::string& line, int& crashStatus) {
  const std::vector<std::string> tokens = Tokens(line);
  if (tokens.empty()) return "error empty command";
  Game& game = server.game;
  const std::string& command = tokens[0];
  Log("control: %s", line.c_str());
  if (command == "add" || command == "bot") return AddPlayer(server, tokens, command == "bot");
  if (command == "remove") {
    const auto id = Number(tokens.size() > 1 ? tokens[1] : "");
    if (!id || !game.RemovePlayer(static_cast<int>(*id), "left the game")) {
      return "error no such player";
    }
    return "ok";
  }
  if (command == "set") return SetField(server, tokens);
  if (command == "chat") {
    const auto id = Number(tokens.size() > 1 ? tokens[1] : "");
    Player* player = id ? game.FindPlayer(static_cast<int>(*id)) : nullptr;
    if (!player || tokens.size() < 3) return "error usage: chat ID TEXT";
    // The text is everything after the id, as typed.
    const auto at = line.find(tokens[1]) + tokens[1].size();
    game.Chat(*player, line.substr(line.find_first_not_of(' ', at)));
    return "ok";
  }
  if (command == "event") {
    if (tokens.size() < 2) return "error usage: event TEXT";
    game.QueueEvent(line.substr(line.find_first_not_of(' ', 5)));
    return "ok";
  }
  if (command == "endround") {
    game.EndRound();
    return "ok";
  }
  if (command == "nextround") {
    game.RunNextLevel();
    return "ok";
  }
  if (command == "pause") {
    const auto wanted = Switch(tokens, game.paused());
    if (!wanted) return "error usage: pause [on|off]";
    if (*wanted != game.paused()) game.TogglePause();
    return game.paused() ? "ok paused" : "ok running";
  }
  if (command == "refuse" || command == "mute" || command == "hang") {
    bool& flag = command == "refuse" ? server.refuseLogins
                 : command == "mute" ? server.muted
                                     : server.hung;
    const auto wanted = Switch(tokens, flag);
    if (!wanted) return "error usage: " + command + " [on|off]";
    flag = *wanted;
    return flag ? "ok on" : "ok off";
  }
  if (command == "quitstatus" || command == "crash") {
    const auto status = Number(tokens.size() > 1 ? tokens[1] : "0");
    if (!status || *status < 0 || *status > 255) return "error the status is 0 to 255";
    if (command == "crash")
      crashStatus = static_cast<int>(*status);
    else
      server.quitStatus = static_cast<int>(*status);
    return "ok";
  }
  if (command == "players") return ListPlayers(server);
  if (command == "get") {
    if (tokens.size() != 2) return "error usage: get KEY";
    if (tokens[1] == "gamemode") {
      return std::string("ok ") + (game.phase() == Phase::kEnded ? "end"
                                   : game.paused()               ? "pause"
                                                                 : "openplaying");
    }
    if (tokens[1] == "map") {
      const MapCombo& map = game.currentMap();
      return "ok " + map.map + " " + map.mode + " " + map.mod;
    }
    if (tokens[1] == "lastmessage") return "ok " + server.lastMessage;
    if (tokens[1] == "commands") return "ok " + std::to_string(server.commandCount);
    if (tokens[1] == "statusport") return "ok " + std::to_string(server.statusPort);
    const auto value = game.Setting(tokens[1]);
    return value ? "ok " + *value : "error no such setting";
  }
  if (command == "tick") {
    const auto steps = Number(tokens.size() > 1 ? tokens[1] : "1");
    if (!steps || *steps < 1 || *steps > 1000) return "error the count is 1 to 1000";
    for (long i = 0; i < *steps; ++i) game.SimulateStep();
    return "ok";
  }
  return "error unknown command " + command.substr(0, 64);
}

ControlChannel::~ControlChannel() {
  if (listen_.get() >= 0) unlink(kControlSocketName);
}

bool ControlChannel::Listen() {
  sockaddr_un local{};
  local.sun_family = AF_UNIX;
  std::strncpy(local.sun_path, kControlSocketName, sizeof local.sun_path - 1);
  unlink(kControlSocketName);  // left behind by a crashed run
  listen_ = keldor::OwnedFd(socket(AF_UNIX, SOCK_STREAM, 0));
  if (listen_.get() < 0 ||
      bind(listen_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      chmod(kControlSocketName, 0600) != 0 || listen(listen_.get(), 4) != 0) {
    Log("Couldn't open the control channel: %s", std::strerror(errno));
    return false;
  }
  return true;
}

int ControlChannel::FillSets(fd_set& readSet, int highest) const {
  if (listen_.get() < 0) return highest;
  FD_SET(listen_.get(), &readSet);
  highest = std::max(highest, listen_.get());
  for (const Client& client : clients_) {
    if (client.socket.get() < 0) continue;
    FD_SET(client.socket.get(), &readSet);
    highest = std::max(highest, client.socket.get());
  }
  return highest;
}

int ControlChannel::Serve(const fd_set& readSet) {
  if (listen_.get() < 0) return -1;
  for (Client& client : clients_) {
    if (client.socket.get() >= 0 && FD_ISSET(client.socket.get(), &readSet)) {
      const int crash = Read(client);
      if (crash >= 0) return crash;
    }
  }
  if (FD_ISSET(listen_.get(), &readSet)) {
    keldor::OwnedFd socket(accept(listen_.get(), nullptr, nullptr));
    if (socket.get() < 0) return -1;
    for (Client& client : clients_) {
      if (client.socket.get() < 0) {
        client = Client{std::move(socket), {}};
        return -1;
      }
    }
  }
  return -1;
}

int ControlChannel::Read(Client& client) {
  char chunk[4096];
  const ssize_t got = recv(client.socket.get(), chunk, sizeof chunk, 0);
  if (got <= 0) {
    client = Client{};
    return -1;
  }
  client.input.append(chunk, static_cast<std::size_t>(got));
  std::size_t end;
  while ((end = client.input.find('\n')) != std::string::npos) {
    std::string line = client.input.substr(0, end);
    client.input.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    int crash = -1;
    const std::string answer = RunControlCommand(server_, line, crash) + "\n";
    if (crash >= 0) {
      send(client.socket.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
      return crash;
    }
    if (send(client.socket.get(), answer.data(), answer.size(), MSG_NOSIGNAL) < 0) break;
  }
  if (client.input.size() > kMaxControlLine) {
    Log("Control line longer than %zu bytes, connection closed", kMaxControlLine);
    const char refusal[] = "error line too long\n";
    send(client.socket.get(), refusal, sizeof refusal - 1, MSG_NOSIGNAL);
    client = Client{};
  }
  return -1;
}

}  // namespace gamesim
