// The game server's own configuration: serversettings.con and serverautoexec.con
// written from the settings table, and the live values read back from and pushed
// to the running game server over its console.
#pragma once

#include <cstdint>
#include <string>

namespace keldor {

// The game.* rows (row 15 left out, the fixed spawn delay added, the address
// 0.0.0.0 when binding to all interfaces) and the @ server commands.
bool WriteServerSettings(const std::string& path);

// The console commands the game runs once started, in the console's units.
bool WriteServerAutoexec(const std::string& path);

// Queries the live values over the console into the table and the snapshot.
bool ReadServerSettings();

// Sends every row that differs from the snapshot; nothing when nothing changed.
bool PushServerSettings();

// A settings file a client uploaded into `uploadPath`: applied under the client's
// rights, removed, the whole table saved to servermanager.con, pushed to a running
// game server and written into serverautoexec.con. False (with ErrorCode) when
// the file could not be applied or the table not saved; otherwise the caller
// tells the other clients that the settings changed.
bool ApplyClientSettings(const std::string& uploadPath, std::int32_t rightsMask, int slot);

}  // namespace keldor
