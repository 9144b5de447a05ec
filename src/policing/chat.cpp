// Chat policing and in-game admin commands on each console event line.
#include "policing/chat.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "core/clock.h"
#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/player_table.h"
#include "gamelink/status_query.h"
#include "maps/installed.h"
#include "policing/admin_log.h"
#include "policing/banned_words.h"
#include "policing/player_menu.h"
#include "runtime/alerting.h"
#include "runtime/events.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"
#include "settings/settings.h"
#include "wire/protocol.h"

namespace keldor {

namespace {

constexpr std::int32_t kInGameActorBase = 0xFF00;
constexpr std::size_t kSearchTextMax = 32;  // an "@" target is compared on this much
constexpr int kHighestPlayerId = 64;

InGameAccountFinder g_findAccount = nullptr;  // wiring, not state

// The record of the speaker ParseChatLine found, while it is in the table.
const PlayerRecord* FindSpeaker(const ChatLine& chat) {
  if (chat.playerId < 0) return nullptr;
  for (const PlayerRecord& record : Players().records) {
    if (record.name.empty()) break;
    if (record.id == chat.playerId) return &record;
  }
  return nullptr;
}

// How well `name` stands for the speaker of `text` (the line after its
// prefix): 0 not at all; otherwise longer names win, and a name in the same
// letter case beats one that differs only by case. `end` is where the
// speaker's name ends in `text`.
std::size_t SpeakerMatch(const std::string& name, const char* text, const char*& end) {
  const std::size_t length = name.size();
  if (length == 0 || strncasecmp(text, name.c_str(), length) != 0) return 0;
  end = text + length;
  if (std::strncmp(end, ": ", 2) != 0) {
    // A name the table holds cut to its width goes on in the line up to ": ".
    if (length < kPlayerNameMax) return 0;
    end = std::strstr(end, ": ");
    if (end == nullptr) return 0;
  }
  const bool sameCase = std::strncmp(text, name.c_str(), length) == 0;
  return 2 * length + (sameCase ? 1 : 0);
}

void Reply(const std::string& text) {
  QueuePlayersMessage(text, 0);
}

// "!change", "!setnext", "!restart" and "!runnext"; false for any other name.
bool RunMapCommand(const std::string& name, const std::vector<std::string>& params,
                   std::uint32_t rights, std::int32_t actor, bool& queued) {
  struct MapCommand {
    const char* name;
    std::uint32_t job;
    bool needsMap;
  };
  static constexpr MapCommand kCommands[] = {{"change", JOB_CHANGE_MAP, true},
                                             {"setnext", JOB_SET_NEXT_MAP, true},
                                             {"restart", JOB_RESTART_MAP, false},
                                             {"runnext", JOB_RUN_NEXT_MAP, false}};
  for (const MapCommand& command : kCommands) {
    if (strcasecmp(name.c_str(), command.name) != 0) continue;
    const std::string bang = std::string("!") + command.name;
    if ((rights & kRightM) == 0) {
      Reply(bang + " requires Maps page access");
    } else if (command.needsMap && params.empty()) {
      Reply(bang + " requires at least one parameter");
    } else if (command.needsMap) {
      const std::string combo = params[0] + " " + (params.size() > 1 ? params[1] : "GPM_CQ") + " " +
                                (params.size() > 2 ? params[2] : "bfvietnam");
      const std::string refusal = ComboRefusal(combo);
      if (!refusal.empty()) {
        // The reply stands in double quotes in the game's chat command.
        Reply(bang + " refused: " + QuotedField(refusal));
      } else {
        queued = QueueJob(command.job, combo.c_str(), actor, 0);
      }
    } else {
      queued = QueueJob(command.job, nullptr, actor, 0);
    }
    return true;
  }
  return false;
}

// The right a menu entry needs of an in-game administrator, as a client needs
// it for the same action; empty when the account has it.
std::string MissingRight(const PlayerMenuEntry& entry, std::uint32_t rights) {
  if (entry.kick && (rights & kRightP) == 0) return "Players page access";
  if (entry.ban && (rights & (kRightP | kRightB)) == 0) {
    return "Players or Bans page access";
  }
  if (entry.cmd && !entry.quoted.empty() && (rights & kRightConsole) == 0) {
    return "console command access";
  }
  return {};
}

// A "." target: digits right after the ".", 0 to 64, a player in the table.
bool PlayerIdTarget(const std::string& text, int& id) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  long value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    value = value * 10 + (c - '0');
    if (value > kHighestPlayerId) return false;
  }
  id = static_cast<int>(value);
  for (const PlayerRecord& record : Players().records) {
    if (record.name.empty()) break;
    if (record.id == id) return true;
  }
  return false;
}

bool RunMenuCommand(const std::string& name, const std::vector<std::string>& params,
                    std::uint32_t rights, std::int32_t actor) {
  const int entry = FindPlayerMenuEntry(name);
  if (entry == 0) {
    Reply("Command id " + name + " is not valid");
    return false;
  }
  PlayerMenuEntry menu;
  if (!ReadPlayerMenuEntry(entry, menu)) return false;
  if (const std::string missing = MissingRight(menu, rights); !missing.empty()) {
    Reply("!" + name + " requires " + missing);
    return false;
  }
  if (params.empty()) {
    RunPlayerMenuAction(-1, entry, actor);
    return true;
  }
  const std::string& target = params[0];
  if (target[0] == '.') {
    int id = -1;
    if (!PlayerIdTarget(target.substr(1), id)) {
      Reply("Player id " + target.substr(1) + " is not valid");
      return false;
    }
    RunPlayerMenuAction(id, entry, actor);
    return true;
  }
  if (target[0] == '@') {
    std::string text = CutToWidth(target.substr(1), kSearchTextMax);
    UpperCaseInPlace(text);
    // The action may change nothing in the table, but collect first all the
    // same.
    std::vector<int> ids;
    for (const PlayerRecord& record : Players().records) {
      if (record.name.empty()) break;
      std::string upper = record.name;
      if (UpperCaseInPlace(upper).find(text) != std::string::npos) ids.push_back(record.id);
    }
    if (ids.empty()) {
      Reply("No matches for player name " + target.substr(1));
      return false;
    }
    for (int id : ids) RunPlayerMenuAction(id, entry, actor);
    return true;
  }
  const int id = FindPlayerByName(target);
  if (id == -1) {
    Reply("No matches or player name " + target + " is ambiguous");
    return false;
  }
  RunPlayerMenuAction(id, entry, actor);
  return true;
}

}  // namespace

bool ParseChatLine(const char* line, ChatLine& chat) {
  const char* space = std::strchr(line, ' ');
  if (space == nullptr) return false;
  const char* text = space + 1;
  const char* colon = std::strstr(text, ": ");
  if (colon == nullptr) return false;
  // The speaker is a player of the table, never the text up to the first
  // ": ": a name may hold ": " itself ("Boss: !restart now") and must not
  // speak for the player whose name is its first part.
  chat = ChatLine{CutToWidth(std::string(text, colon), kPlayerNameMax), colon + 2, -1};
  std::size_t best = 0;
  for (const PlayerRecord& record : Players().records) {
    if (record.name.empty()) break;
    const char* end = nullptr;
    const std::size_t match = SpeakerMatch(record.name, text, end);
    if (match <= best) continue;
    best = match;
    chat = ChatLine{record.name, end + 2, record.id};
  }
  return true;
}

namespace {

// The banned-word kick of a line already taken apart (`chat` null when the line
// has no speaker); the kicked speaker is forgotten in `chat` as in the table.
bool KickForBannedWords(const char* line, ChatLine* chat) {
  const std::string* list = BannedWordsList();
  if (line == nullptr || list == nullptr) return false;
  bool hit = false;
  for (std::size_t start = 0; !hit && start < list->size();) {
    std::size_t comma = list->find(',', start);
    if (comma == std::string::npos) comma = list->size();
    const std::string entry = CutToWidth(list->substr(start, comma - start), kBannedWordMax);
    LogDebug("DEBUG: Word=%s, Message=%s", entry.c_str(), line);
    hit = !entry.empty() && std::strstr(line, entry.c_str()) != nullptr;
    start = comma + 1;
  }
  if (!hit) return true;
  if (chat == nullptr) return false;
  const PlayerRecord* found = FindSpeaker(*chat);
  if (found == nullptr) {
    LogDebug(
        "DEBUG: Couldn't kick player for banned word! Could not determine "
        "player %s id.",
        chat->speaker.c_str());
    return false;
  }
  const PlayerRecord player = *found;  // the record goes below
  const std::string kick = "admin.kickPlayer " + std::to_string(player.id);
  QueueJob(JOB_CONSOLE_COMMAND, kick.c_str(), 0, KickDelay());
  const std::string message =
      "[KELDOR] Kicking " + player.name + " for banned word in chat message";
  QueueJob(JOB_SERVER_MESSAGE, FlattenLine(message).c_str(), 0, 0);
  Report(Event::kAutoKickWord, player.name.c_str());
  LogMessage(kLogInfo, "Auto-kicked %s (%s) at %s for banned word in chat message.",
             player.name.c_str(), player.keyhash.c_str(), player.ip.c_str());
  LogAdminAction(player.name.c_str(), player.ip.c_str(), player.keyhash.c_str(),
                 player.pbGuid.c_str(), "auto", static_cast<std::uint32_t>(Now()),
                 LastStatusValue("mapname"), "kick", 0, "banned word in chat message");
  RaiseAlert({AlertKind::kAutoKick,
              player.name + " was kicked automatically: banned word in chat message.",
              {{"player", player.name}, {"reason", "banned word in chat message"}}});
  RemovePlayerById(player.id);
  chat->playerId = -1;
  return true;
}

bool RunChatCommand(const ChatLine& chat) {
  // A line break in the chat must not reach a job's text as one.
  const std::vector<std::string> words = SplitWords(FlattenLine(chat.message), " ");
  if (words.empty() || words[0][0] != '!') return false;
  const std::string name = words[0].substr(1);
  const std::vector<std::string> params(words.begin() + 1,
                                        words.begin() + std::min<std::size_t>(words.size(), 4));
  const PlayerRecord* player = FindSpeaker(chat);
  if (player == nullptr) {
    LogDebug("DEBUG: Couldn't determine player %s keyhash!", chat.speaker.c_str());
    return false;
  }
  std::uint32_t rights = 0;
  const int account = g_findAccount == nullptr ? -1 : g_findAccount(player->keyhash, &rights);
  if (account < 0) {
    Reply("Player " + player->name + " cannot use in-game admin commands!");
    return false;
  }
  const std::int32_t actor = kInGameActorBase + account;
  bool queued = false;
  if (RunMapCommand(name, params, rights, actor, queued)) return queued;
  return RunMenuCommand(name, params, rights, actor);
}

// Both handlers take the line apart once: the kick of the speaker must not
// make the same line speak for another player.
void OnConsoleEvent(Event event, const char* text) {
  if (event != Event::kConsoleEvent || text == nullptr) return;
  ChatLine chat;
  const bool parsed = ParseChatLine(text, chat);
  if (Row(Setting::AutoKickWord).current != 0) KickForBannedWords(text, parsed ? &chat : nullptr);
  if (parsed) RunChatCommand(chat);
}

}  // namespace

void ConnectChatHandling(InGameAccountFinder finder) {
  g_findAccount = finder;
  Subscribe(OnConsoleEvent);
}

bool CheckChatForBannedWords(const char* line) {
  if (line == nullptr) return false;
  ChatLine chat;
  const bool parsed = ParseChatLine(line, chat);
  return KickForBannedWords(line, parsed ? &chat : nullptr);
}

bool HandleChatCommand(const char* line) {
  ChatLine chat;
  return line != nullptr && ParseChatLine(line, chat) && RunChatCommand(chat);
}

}  // namespace keldor
