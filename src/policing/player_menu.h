// The player menu: playermenu.con, the administrators' list of actions on a
// player (kick, ban, message, console command from a template), looked up by
// the command id that in-game administrators chat after a "!".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keldor {

// Longest line taken from playermenu.con.
constexpr std::size_t kPlayerMenuLineMax = 1023;
// What a missing playermenu.con is created with at start-up.
constexpr const char* kDefaultPlayerMenu = "Kick|kick\nBan|ban\n";

// One line of the menu as Keldor reads it.
struct PlayerMenuEntry {
  bool kick = false;  // after the flag rules: a ban is never also a kick,
  bool ban = false;   // and "cmd" is neither
  bool cmd = false;
  bool global = false;
  int duration = 0;    // ban seconds; 0 permanent
  std::string quoted;  // the text inside the first pair of double quotes; empty when none
};

PlayerMenuEntry ParsePlayerMenuLine(const std::string& line);

// The console command of a "cmd" entry for `playerId` (-1 for none): the
// template's words joined by single blanks, placeholders replaced. Always one
// line: a control character in a filled-in value becomes a blank.
std::string ExpandMenuTemplate(const std::string& templateText, int playerId);

// Line number (from 1) of the entry with this command id; 0 when none or the
// file cannot be read.
int FindPlayerMenuEntry(const std::string& commandId);

// Reads entry number `entry` (from 1); false, logged, when the file cannot be
// read or has fewer lines.
bool ReadPlayerMenuEntry(int entry, PlayerMenuEntry& parsed);

// Queues what entry `entry` does for the player `playerId` (-1 for none) with
// `actor` as the one who asked. True when the entry is a kick or a ban.
bool RunPlayerMenuAction(int playerId, int entry, std::int32_t actor);

// The words of `text` between any of the `separators`; unlike Split, which
// keeps an empty field between two separators, runs of them count as one.
std::vector<std::string> SplitWords(const std::string& text, const char* separators);

// Queues "[KELDOR] " and `text` to the players from `actor`: a server
// message, or chat with -noadmin.
void QueuePlayersMessage(const std::string& text, std::int32_t actor);

}  // namespace keldor
