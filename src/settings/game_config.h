// The game server's own configuration: serversettings.con and serverautoexec.con
// written from the settings table.
#pragma once

#include <cstdint>
#include <string>

namespace keldor {

// The game.* rows (row 15 left out, the fixed spawn delay added, the address
// 0.0.0.0 when binding to all interfaces) and the @ server commands.
bool WriteServerSettings(const std::string& path);

// The console commands the game runs once started, in the console's units.
bool WriteServerAutoexec(const std::string& path);

}  // namespace keldor
