// The game server's remote console link.
#pragma once

namespace keldor {

// Drains and closes the console socket (at shutdown).
void DisconnectConsole();

}  // namespace keldor
