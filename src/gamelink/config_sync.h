// The settings table in step with the running game server: the live values
// read back over its console, and changes pushed to it.
#pragma once

namespace keldor {

// Queries the live values over the console into the table and the snapshot.
bool ReadServerSettings();

// Sends every row that differs from the snapshot; nothing when nothing changed.
bool PushServerSettings();

}  // namespace keldor
