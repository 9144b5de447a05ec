// The player menu: reading playermenu.con, finding an entry by its command id
// and queueing what an entry does. The file is read anew each time, so that a
// menu a client has just stored counts at once.
#include "policing/player_menu.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <vector>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/player_table.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"

namespace keldor {

namespace {

constexpr const char* kTag = "[KELDOR]";
constexpr const char* kFlagSeparators = ", \r\n";

// A duration word as a number of seconds: its leading digits; a sign or
// anything else makes it 0 (permanent), and a huge number is capped.
int DurationOf(const std::string& word) {
  long long value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') break;
    value = std::min<long long>(value * 10 + (c - '0'), INT_MAX);
  }
  return static_cast<int>(value);
}

// The fields of a ban job end in the byte 0xFF: one inside a value (a player
// name can hold it) would shift every field after it.
std::string BanField(std::string text) {
  for (char& c : text) {
    if (c == kBanFieldEnd) c = '?';
  }
  return FlattenLine(text);
}

// Calls `visit` with each line and its number until it answers true; false
// when the file could not be read (logged) or no line was taken.
bool VisitMenuLines(const std::function<bool(int, const std::string&)>& visit) {
  int number = 0;
  bool taken = false;
  bool opened = false;
  const bool read = ForEachLine(
      Opts().settingsDir + "/playermenu.con", kPlayerMenuLineMax, false,
      [&](std::string& line, bool) {
        taken = visit(++number, line);
        return !taken;
      },
      &opened);
  if (!read) {
    LogMessage(kLogInfo,
               opened ? "Couldn't read player menu file! %s" : "Couldn't open player menu file! %s",
               ErrorText(ErrorCode()));
  }
  return read && taken;
}

}  // namespace

std::vector<std::string> SplitWords(const std::string& text, const char* separators) {
  std::vector<std::string> words;
  std::size_t start = text.find_first_not_of(separators);
  while (start != std::string::npos) {
    const std::size_t end = text.find_first_of(separators, start);
    words.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    start = end == std::string::npos ? end : text.find_first_not_of(separators, end);
  }
  return words;
}

void QueuePlayersMessage(const std::string& text, std::int32_t actor) {
  const std::string message = FlattenLine(std::string(kTag) + " " + text);
  QueueJob(Opts().adminMessages ? JOB_SERVER_MESSAGE : JOB_SAY_ALL, message.c_str(), actor, 0);
}

PlayerMenuEntry ParsePlayerMenuLine(const std::string& line) {
  PlayerMenuEntry entry;
  const std::size_t bar = line.find('|');
  const std::string caption = line.substr(0, bar);
  const std::size_t open = caption.find('"');
  const std::size_t close = open == std::string::npos ? open : caption.find('"', open + 1);
  if (close != std::string::npos) entry.quoted = caption.substr(open + 1, close - open - 1);
  if (bar == std::string::npos) return entry;
  for (const std::string& word : SplitWords(line.substr(bar + 1), kFlagSeparators)) {
    if (strcasecmp(word.c_str(), "kick") == 0) {
      entry.kick = true;
    } else if (strcasecmp(word.c_str(), "ban") == 0) {
      entry.ban = true;
    } else if (strcasecmp(word.c_str(), "cmd") == 0) {
      entry.cmd = true;
    } else if (strcasecmp(word.c_str(), "global") == 0) {
      entry.global = true;
    } else if (word[0] != '[') {
      entry.duration = DurationOf(word);
    }
  }
  if (entry.ban) entry.kick = false;
  if (entry.cmd) entry.kick = entry.ban = false;
  return entry;
}

std::string ExpandMenuTemplate(const std::string& templateText, int playerId) {
  std::string command;
  for (const std::string& word : SplitWords(templateText, " \n")) {
    std::string value = word;
    if (strcasecmp(word.c_str(), "%bfid") == 0) {
      value = std::to_string(playerId);
    } else if (strcasecmp(word.c_str(), "%pbid") == 0) {
      value = std::to_string(playerId + 1);
    } else if (strcasecmp(word.c_str(), "%name") == 0) {
      value = PlayerNameById(playerId);
    } else if (strcasecmp(word.c_str(), "%keyhash") == 0) {
      value = PlayerKeyhashById(playerId);
    } else if (strcasecmp(word.c_str(), "%guid") == 0) {
      value = PlayerGuidById(playerId);
    }
    if (!command.empty()) command += ' ';
    command += value;
  }
  return FlattenLine(command);
}

int FindPlayerMenuEntry(const std::string& commandId) {
  int found = 0;
  if (commandId.empty()) return 0;
  VisitMenuLines([&](int number, const std::string& line) {
    // Only a text enclosed in brackets is an id: a line without any (the
    // default entries) cannot be reached from the chat.
    for (std::size_t open = line.find('['); open != std::string::npos;
         open = line.find('[', open + 1)) {
      const std::size_t close = line.find_first_of("[]", open + 1);
      if (close == std::string::npos || line[close] != ']') continue;
      if (strcasecmp(line.substr(open + 1, close - open - 1).c_str(), commandId.c_str()) == 0) {
        found = number;
        return true;
      }
    }
    return false;
  });
  return found;
}

bool ReadPlayerMenuEntry(int entry, PlayerMenuEntry& parsed) {
  if (entry < 1) return false;
  return VisitMenuLines([&](int number, const std::string& line) {
    if (number != entry) return false;
    parsed = ParsePlayerMenuLine(line);
    return true;
  });
}

bool RunPlayerMenuAction(int playerId, int entry, std::int32_t actor) {
  PlayerMenuEntry menu;
  if (!ReadPlayerMenuEntry(entry, menu)) return false;
  const bool player = playerId != -1;
  const std::string id = std::to_string(playerId);
  const std::string& text = menu.quoted;
  const std::string reason = text.empty() ? "unknown reason" : text;
  const std::string kill = "admin.admin_killplayer " + id;
  if (menu.kick && player) {
    if (!text.empty()) {
      QueuePlayersMessage("Player " + PlayerNameById(playerId) + " kicked for " + text, actor);
    }
    QueueJob(JOB_CONSOLE_COMMAND, kill.c_str(), actor, 0);
    QueueJob(JOB_KICK_PLAYER, FlattenLine(id + "," + reason + ",").c_str(), actor, KickDelay());
  }
  if (menu.ban && player) {
    const std::string name = PlayerNameById(playerId);
    if (!text.empty()) QueuePlayersMessage("Player " + name + " banned for " + text, actor);
    QueueJob(JOB_CONSOLE_COMMAND, kill.c_str(), actor, 0);
    const std::string end(1, kBanFieldEnd);
    const std::string ban =
        id + end + BanField(name) + end + BanField(PlayerAddressById(playerId)) + end +
        BanField(PlayerKeyhashById(playerId)) + end + BanField(PlayerGuidById(playerId)) + end +
        std::to_string(menu.duration) + end + BanField(reason) + end;
    QueueJob(JOB_BAN_PLAYER, ban.c_str(), actor, KickDelay());
  }
  if (!text.empty() && !menu.cmd) {
    if (!player || menu.global) {
      QueuePlayersMessage(text, actor);
    } else if (!menu.kick && !menu.ban) {
      QueuePlayersMessage("Player " + PlayerNameById(playerId) + " " + text, actor);
    }
  }
  if (!text.empty() && menu.cmd) {
    QueueJob(JOB_CONSOLE_COMMAND, ExpandMenuTemplate(text, playerId).c_str(), actor, 0);
  }
  return menu.kick || menu.ban;
}

}  // namespace keldor
