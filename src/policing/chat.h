// Chat from the game: the banned-word kick of a speaker and the in-game admin
// commands ("!change", "!restart", "!" and a player menu id, ...) of players
// whose key hash belongs to a Keldor user. Both run inside the console request
// that received the line, so they only queue work.
#pragma once

#include <cstdint>
#include <string>

namespace keldor {

// The rights of the account of an in-game administrator, found by the key hash
// of the player; returns the account's index, or -1 when no account may act.
// The accounts belong to the client service, which the daemon wires in here.
using InGameAccountFinder = int (*)(const std::string& keyhash, std::uint32_t* rights);

// Subscribes the two handlers to console event lines, after whoever
// subscribed before (the clients hear of a line before it is acted on). The
// finder is wiring, not state (see ConnectSubsystems): ResetAllState keeps it.
void ConnectChatHandling(InGameAccountFinder finder);

// A chat line "PREFIX SPEAKER: MESSAGE" taken apart; false for any other shape.
// The speaker is the longest name in the player table that the text after the
// prefix begins with, followed by ": " (a name the table holds cut to its width
// may go on up to the first ": "); `playerId` is that player's id. A line whose
// speaker is no player has id -1 and the text up to the first ": " as its
// speaker, for the log only.
struct ChatLine {
  std::string speaker;
  std::string message;
  int playerId = -1;
};
bool ParseChatLine(const char* line, ChatLine& chat);

// Kicks the speaker when the line holds a banned word (case as written; "$"
// has no meaning here). True when the line is clean or the speaker was kicked.
bool CheckChatForBannedWords(const char* line);

// Runs the "!" command of the line for a player with an account. True when
// something was queued for the command itself.
bool HandleChatCommand(const char* line);

}  // namespace keldor
