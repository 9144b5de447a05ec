// The console commands the stand-in game understands, one line at a time.
#pragma once

#include <string>
#include <vector>

#include "server.h"

namespace gamesim {

// Carries out one console command line and appends the strings of its reply:
// one line for a bare setting key, the player lines for game.listPlayers,
// nothing for a setter, a short notice for a command it does not know.
// Output that the game prints later (PunkBuster lists) goes to the output queue.
void RunConsoleLine(Server& server, const std::string& line, std::vector<std::string>& reply);

// The player line of game.listPlayers.
std::string PlayerListLine(const Player& player);

}  // namespace gamesim
