// What an administrator says and orders over the game's console: chat, server
// messages, console commands, player screenshots and PunkBuster's config.
// Each logs what it did (or why it could not) and returns the outcome, which
// the client service tells the clients.
#pragma once

#include <string>
#include <vector>

#include "runtime/job_queue.h"

namespace keldor {

// Says `text` in the game's chat, in pieces, its blanks sent as kChatBlank.
// Keldor's own announcements (a text beginning with '*') are not logged.
bool SayToAll(const Actor& actor, const std::string& text);

// Sends `text` as server messages, in pieces, each kChatBlank as a blank.
bool SendServerMessage(const Actor& actor, const std::string& text);

// Sends `lines` as they stand, one console command per line; the game's reply
// (empty when it said nothing) in `reply`.
bool RunConsoleCommand(const Actor& actor, const std::string& lines, std::string& reply);

// Asks PunkBuster for a screenshot of `player`.
bool TakeScreenshot(const Actor& actor, const std::string& player);

// Saves PunkBuster's settings to pbsv.cfg (`save`) or loads them from it.
bool StorePunkBusterConfig(bool save);

// The pieces a message is sent in: at most 63 characters each, cut at the last
// `separator` within reach (which is dropped), or hard at 63 when there is none.
std::vector<std::string> CutIntoPieces(const std::string& text, char separator);

}  // namespace keldor
