// Banned words in player names and chat: bannedwords.con and the name test.
#pragma once

#include <cstddef>
#include <string>

namespace keldor {

// Longest line taken from bannedwords.con, and the most a loaded list may hold.
constexpr std::size_t kBannedWordLineMax = 1023;
constexpr std::size_t kBannedWordsMax = 1024 * 1024;
// An entry is compared on at most this many characters.
constexpr std::size_t kBannedWordMax = 1024;

// Reads bannedwords.con in the settings directory into the list, replacing it.
bool LoadBannedWords();

// True when the name matches an entry: "$word" equals the whole name in any
// case, any other entry occurs in it in any case. Lower-cases `name` in place.
bool ContainsBannedWord(std::string& name);

// The loaded entries, each followed by a comma; null until a load succeeded in opening the file.
const std::string* BannedWordsList();

}  // namespace keldor
