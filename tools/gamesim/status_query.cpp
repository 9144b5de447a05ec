// The UDP status query's reply.
#include "status_query.h"

#include <algorithm>
#include <string>

namespace gamesim {
namespace {

constexpr const char* kGameVersion = "v1.02";

void PutText(std::vector<std::uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

std::string GameMode(const Game& game) {
  if (game.phase() == Phase::kEnded) return "end";
  if (game.paused()) return "pause";
  return "openplaying";
}

void PutInformation(const Server& server, std::vector<std::uint8_t>& out) {
  const Game& game = server.game;
  const auto put = [&](const std::string& key, const std::string& value) {
    PutText(out, key);
    PutText(out, value);
  };
  // The console takes -1 for "no limit"; the status reply shows that as 0, the
  // value the settings keep for it.
  const std::string rounds =
      std::to_string(std::max(0L, game.NumberSetting("admin.setNrOfRounds", 3)));
  const double ratio = std::strtod(game.SettingOr("admin.setTicketRatio", "1").c_str(), nullptr);
  put("hostname", game.SettingOr("game.serverName", "BFSERVER"));
  put("gamename", "bfvietnam");
  put("gamever", kGameVersion);
  put("hostport", game.SettingOr("game.serverPort", "15567"));
  put("mapname", MapDisplayName(game.currentMap().map));
  put("gametype", GameTypeName(game.currentMap().mode));
  put("gamemode", GameMode(game));
  put("game_id", game.currentMap().mod);
  put("numplayers", std::to_string(game.players().size()));
  put("maxplayers", std::to_string(game.MaxPlayers()));
  put("timelimit", std::to_string(game.NumberSetting("admin.timeLimit", 0)));
  put("roundTimeRemain", std::to_string(game.RoundTimeRemaining()));
  put("number_of_rounds", rounds);
  put("Number Of Rounds", rounds);
  put("Ticket Ratio", std::to_string(static_cast<long>(ratio * 100 + 0.5)));
  put("tickets1", std::to_string(game.tickets1()));
  put("tickets2", std::to_string(game.tickets2()));
  put("password", game.SettingOr("game.serverPassword", "").empty() ? "0" : "1");
  put("tk_mode", game.NumberSetting("admin.tkPunishMode", 0) ? "Punish" : "Forgive");
  put("content_check", std::to_string(game.NumberSetting("game.serverContentCheck", 0)));
  put("sv_punkbuster", std::to_string(game.NumberSetting("game.serverPunkBuster", 0)));
  put("round", std::to_string(game.roundNumber()));
  out.push_back(0);  // the empty key ends the section
}

void PutPlayers(const Server& server, std::vector<std::uint8_t>& out) {
  const std::vector<Player>& players = server.game.players();
  out.push_back(0);
  out.push_back(static_cast<std::uint8_t>(players.size()));
  for (const char* field :
       {"player_", "score_", "ping_", "team_", "deaths_", "kills_", "keyhash_"}) {
    PutText(out, field);
  }
  out.push_back(0);
  for (const Player& player : players) {
    PutText(out, player.name);
    PutText(out, std::to_string(player.score));
    PutText(out, std::to_string(player.ping));
    PutText(out, std::to_string(player.team));
    PutText(out, std::to_string(player.deaths));
    PutText(out, std::to_string(player.kills));
    PutText(out, player.bot ? "" : player.keyhash);
  }
}

void PutTeams(const Server& server, std::vector<std::uint8_t>& out) {
  const Game& game = server.game;
  int scores[2] = {0, 0};
  for (const Player& player : game.players()) scores[player.team == 2 ? 1 : 0] += player.score;
  out.push_back(0);
  out.push_back(2);
  PutText(out, "team_t");
  PutText(out, "score_t");
  PutText(out, "tickets_t");
  out.push_back(0);
  PutText(out, "NVA");
  PutText(out, std::to_string(scores[0]));
  PutText(out, std::to_string(game.tickets1()));
  PutText(out, "USA");
  PutText(out, std::to_string(scores[1]));
  PutText(out, std::to_string(game.tickets2()));
}

}  // namespace

std::optional<std::vector<std::uint8_t>> BuildStatusReply(const Server& server,
                                                          const std::uint8_t* request,
                                                          std::size_t size) {
  if (size != kStatusRequestSize || request[0] != 0xFE || request[1] != 0xFD || request[2] != 0) {
    return std::nullopt;
  }
  if (server.hung) return std::nullopt;  // read and left unanswered
  std::vector<std::uint8_t> out;
  out.push_back(0);
  out.insert(out.end(), request + 3, request + 7);  // the request identifier
  if (request[7]) PutInformation(server, out);
  if (request[8]) PutPlayers(server, out);
  if (request[9]) PutTeams(server, out);
  // 64 players cannot reach the limit; a reply that would is refused whole.
  if (out.size() > kMaxStatusReply) return std::nullopt;
  return out;
}

}  // namespace gamesim
