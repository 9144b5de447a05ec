// What the console link does around a login, a disconnect and each console
// event line; each comment names the operation the hook calls.
#pragma once

namespace keldor {

// After login: unless the status port is known, FindStatusPort (status query).
bool IdentifyStatusPort();

// After login: ReadServerSettings (game configuration, settings subsystem).
bool SyncServerSettings();

// After login: GetPlayerList (player table).
bool SyncPlayerList();

// On disconnect: forget the status port, the detected server version, the
// smart-balance engaged flag and every record of the player table.
void ForgetConnectionFacts();

// For each console event line: reports it. Its listeners, in the order they
// subscribed: the clients get NOTE_CONSOLE_EVENT, then the chat handling
// (banned words, then in-game commands). None may send a console request.
void ForwardConsoleEvent(const char* text);

// Unit tests of the link's wire format run against a bare fake console: the
// status port search, the settings read-back and the player list after a login
// are skipped. The hooks above are plain calls, fixed at build; this switch is
// a test's state, not wiring, and ResetAllState turns it off.
void SkipLoginFollowUpsForTesting(bool skip);

}  // namespace keldor
