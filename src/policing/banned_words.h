// Banned words in player names and chat.
#pragma once

namespace keldor {

bool LoadBannedWords();

}  // namespace keldor
