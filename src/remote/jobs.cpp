// The execution of every job of the command queue: see jobs.h.
#include "remote/jobs.h"

#include <strings.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "bans/ban_store.h"
#include "bans/ban_sync.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/console.h"
#include "gamelink/player_table.h"
#include "gamelink/status_query.h"
#include "maps/installed.h"
#include "maps/rotation.h"
#include "policing/admin_log.h"
#include "policing/policing.h"
#include "process/server_process.h"
#include "remote/accounts.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "schedule/announcements.h"

namespace keldor {

namespace {

constexpr int kTimedOut = 110;
constexpr int kConnectionRefused = 111;
constexpr int kBanFields = 7;
constexpr const char* kNoIdleMap = "none";

// A whole text as a number; false for an empty text, stray characters or overflow.
bool ParseNumber(const std::string& text, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && end != nullptr && *end == '\0';
}

// A line break inside a text would end the console command and start another one
// that the client has no right to run: it is sent as a blank instead.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

std::string TimeText(std::time_t t) {
  const char* text = std::ctime(&t);
  return text == nullptr ? "[unknown]\n" : text;
}

// Everything a job's handling needs to know about who asked for it.
struct Run {
  const QueuedCommand& job;
  std::string name;
  std::string address;

  const char* Name() const { return name.c_str(); }
  const char* Address() const { return address.c_str(); }
  void Tell(std::uint32_t note) const { NotifyClient(job.actor, note, nullptr, 0); }
  void Failed() const { Tell(NOTE_COMMAND_FAILED); }
};

void TellAll(std::uint32_t note) {
  NotifyAllClients(note, nullptr, 0, 0);
}
void TellAll(std::uint32_t note, const std::string& text) {
  NotifyAllClients(note, text.c_str(), text.size() + 1, 0);
}

void ConnectConsoleJob() {
  if (Console().connected) return;
  ErrorCode() = 0;
  if (ConnectConsole()) return;
  const int code = ErrorCode();
  if (code != kConnectionRefused) StopHurryingConsole();
  if (code != 0 && code != kTimedOut && code != kConnectionRefused) {
    LogMessage(kLogInfo, "Couldn't connect to server console! %s", ErrorText(code));
  }
}

void Broadcast(const Run& run) {
  long long value = 0;
  if (!ParseNumber(run.job.text, value) || value < INT32_MIN || value > UINT32_MAX) {
    LogDebug("DEBUG: Ignored a broadcast of '%s'.", run.job.text.c_str());
    return;
  }
  TellAll(static_cast<std::uint32_t>(value));
}

void DisconnectClient(const Run& run) {
  long long slot = 0;
  if (!ParseNumber(run.job.text, slot) || slot < 1 || slot >= kClientSlots) return;
  const int s = static_cast<int>(slot);
  // A free slot has nobody to drop; releasing it would log a departure that did not happen.
  if (!SlotInUse(s)) return;
  NotifyClient(s, NOTE_DISCONNECT, nullptr, 0);
  const std::string clientName = ActorName(s);
  const std::string clientAddress = ActorAddress(s);
  LogMessage(kLogInfo, "User %s at %s disconnected client %s at %s.", run.Name(), run.Address(),
             clientName.c_str(), clientAddress.c_str());
  EndConnectionSoon(s);
}

void WhenConnected(std::uint32_t code) {
  if (!Console().connected) return;
  switch (code) {
    case JOB_EXPIRE_BANS:
      ExpireTimedBans();
      break;
    case JOB_POLICE_PLAYERS:
      PolicePlayers();
      break;
    case JOB_ANNOUNCE:
      AnnounceNext();
      break;
    default:
      if (!GetPlayerList()) LogMessage(kLogInfo, "Couldn't get player list!");
      break;
  }
}

void TogglePause(const Run& run) {
  if (SendConsoleMessage("admin.toggleGamePause") == nullptr) {
    LogMessage(kLogInfo, "Couldn't pause game! The command failed.");
    run.Failed();
    return;
  }
  const bool pausedNow = !GamePaused();
  LogMessage(kLogInfo,
             pausedNow ? "User %s at %s paused the server." : "User %s at %s unpaused the server.",
             run.Name(), run.Address());
  TellAll(pausedNow ? NOTE_GAME_PAUSED : NOTE_GAME_RESUMED);
  SetGamePaused(pausedNow);
}

// A combo naming a map that is not installed is refused before the game sees
// it: the game would take it and the server would be left without a map.
bool Installed(const Run& run, const std::string& combo) {
  const std::string refusal = ComboRefusal(combo);
  if (refusal.empty()) return true;
  LogMessage(kLogInfo, "Refused the map %s of user %s at %s: %s.", combo.c_str(), run.Name(),
             run.Address(), refusal.c_str());
  run.Failed();
  return false;
}

void ChangeMap(const Run& run) {
  const std::string combo = OneLine(run.job.text);
  if (!Installed(run, combo)) return;
  if (SendConsoleMessage("admin.changeMap %s", combo.c_str()) == nullptr) {
    LogMessage(kLogInfo, "Couldn't change to map %s! The command failed.", combo.c_str());
    run.Failed();
    return;
  }
  LogMessage(kLogInfo, "User %s at %s changed the map to %s.", run.Name(), run.Address(),
             combo.c_str());
  TellAll(NOTE_MAP_CHANGED, combo);
}

// A command without argument; false (logged with `failed`, the actor told) when refused.
bool PlainCommand(const Run& run, const char* command, const char* failed) {
  if (SendConsoleMessage("%s", command) != nullptr) return true;
  LogMessage(kLogInfo, "%s", failed);
  run.Failed();
  return false;
}

void RunNextMap(const Run& run) {
  if (!PlainCommand(run, "admin.runNextLevel", "Couldn't run next map! The command failed.")) {
    return;
  }
  LogMessage(kLogInfo, "User %s at %s changed to the next map in the rotation.", run.Name(),
             run.Address());
  TellAll(NOTE_NEXT_MAP_RUN);
}

void RestartMap(const Run& run) {
  if (!PlainCommand(run, "admin.restartMap", "Couldn't restart map! The command failed.")) return;
  LogMessage(kLogInfo, "User %s at %s restarted the current map.", run.Name(), run.Address());
  TellAll(NOTE_MAP_RESTARTED);
}

void SetNextMap(const Run& run) {
  const std::string combo = OneLine(run.job.text);
  if (!Installed(run, combo)) return;
  if (GameServer().monitoring &&
      SendConsoleMessage("admin.setNextLevel %s", combo.c_str()) == nullptr) {
    LogMessage(kLogInfo, "Couldn't set next map to %s! The command failed.", combo.c_str());
    run.Failed();
    return;
  }
  LogMessage(kLogInfo, "User %s at %s changed the next map to %s.", run.Name(), run.Address(),
             combo.c_str());
  TellAll(NOTE_NEXT_MAP_SET, combo);
  SetCurrentMapOverride(CutToWidth(combo, kMapComboMax));
}

void SetIdleMap(const Run& run) {
  // The crash watch later changes to this combo over the console.
  std::string combo = OneLine(run.job.text);
  // "none", like an empty combo, turns the idle map off.
  if (strcasecmp(combo.c_str(), kNoIdleMap) == 0) combo.clear();
  if (!combo.empty() && !Installed(run, combo)) return;
  SetIdleMapCombo(CutToWidth(combo, kMapComboMax));
  LogMessage(kLogInfo, "User %s at %s changed the idle map to %s.", run.Name(), run.Address(),
             combo.c_str());
  TellAll(NOTE_IDLE_MAP_SET, combo);
}

void KickPlayer(const Run& run) {
  const std::size_t comma = run.job.text.find(',');
  const std::string idText = run.job.text.substr(0, comma);
  const std::string reason = comma == std::string::npos ? "" : run.job.text.substr(comma + 1);
  long long id = 0;
  if (!ParseNumber(idText, id) || id < INT_MIN || id > INT_MAX) {
    LogMessage(kLogInfo, "Couldn't kick player! The player id '%s' is not a number.",
               idText.c_str());
    run.Failed();
    return;
  }
  const int player = static_cast<int>(id);
  LogDebug("DEBUG: Kicked player id %i.", player);
  const std::string name = PlayerNameById(player);
  const std::string address = PlayerAddressById(player);
  const std::string keyhash = PlayerKeyhashById(player);
  const std::string guid = PlayerGuidById(player);
  const std::time_t when = Now();
  if (SendConsoleMessage("admin.kickPlayer %i", player) == nullptr) {
    LogMessage(kLogInfo, "Couldn't kick player %s! The command failed.", name.c_str());
    run.Failed();
    return;
  }
  LogMessage(kLogInfo, "User %s at %s kicked player %s (%s) at %s for %s.", run.Name(),
             run.Address(), name.c_str(), keyhash.c_str(), address.c_str(), reason.c_str());
  LogAdminAction(name.c_str(), address.c_str(), keyhash.c_str(), guid.c_str(), run.Name(),
                 static_cast<std::uint32_t>(when), LastStatusValue("mapname"), "kick", 0,
                 reason.c_str());
  TellAll(NOTE_PLAYER_KICKED, name);
}

struct BanRequest {
  int id = -1;
  std::string name, address, keyhash, guid, reason;
  std::uint32_t duration = 0;
};

// Six fields must each be there with their end byte; the reason may have lost
// its end byte when the text was cut to the job's width.
bool ParseBan(const std::string& text, BanRequest& ban) {
  std::vector<std::string> fields = Split(text, kBanFieldEnd);
  if (fields.size() < kBanFields) return false;
  long long id = 0, duration = 0;
  if (!ParseNumber(fields[0], id) || id < INT_MIN || id > INT_MAX) return false;
  if (!ParseNumber(fields[5], duration) || duration < 0 || duration > UINT32_MAX) return false;
  ban.id = static_cast<int>(id);
  ban.name = fields[1];
  ban.address = fields[2];
  ban.keyhash = fields[3];
  ban.guid = fields[4];
  ban.duration = static_cast<std::uint32_t>(duration);
  ban.reason = fields[6];
  return true;
}

void BanPlayer(const Run& run) {
  BanRequest ban;
  if (!ParseBan(run.job.text, ban)) {
    LogMessage(kLogInfo, "Couldn't ban player! The ban lacks a field.");
    run.Failed();
    return;
  }
  LogDebug("DEBUG: Banned player id %i.", ban.id);
  const std::time_t start = Now();
  const std::time_t end = ban.duration != 0 ? start + ban.duration : 0;
  if (!AddBan(ban.name, ban.id, ban.address, ban.keyhash, ban.guid, run.name, start, end,
              ban.reason)) {
    LogMessage(kLogInfo, "Couldn't ban player %s! The command failed.", ban.name.c_str());
    run.Failed();
    return;
  }
  if (end != 0) {
    LogMessage(kLogInfo, "User %s at %s banned player %s (%s) until %sfor %s.", run.Name(),
               run.Address(), ban.name.c_str(), ban.keyhash.c_str(), TimeText(end).c_str(),
               ban.reason.c_str());
  } else {
    LogMessage(kLogInfo, "User %s at %s banned player %s (%s) permanently for %s.", run.Name(),
               run.Address(), ban.name.c_str(), ban.keyhash.c_str(), ban.reason.c_str());
  }
  LogAdminAction(ban.name.c_str(), ban.address.c_str(), ban.keyhash.c_str(), ban.guid.c_str(),
                 run.Name(), static_cast<std::uint32_t>(start), LastStatusValue("mapname"), "ban",
                 ban.duration, ban.reason.c_str());
  TellAll(NOTE_PLAYER_BANNED, ban.name);
  TellAll(NOTE_BANS_CHANGED);
}

void RemoveBanJob(const Run& run) {
  std::vector<std::string> fields = Split(run.job.text, ',');
  fields.resize(4);
  if (!RemoveBan(fields[0], fields[1], fields[2], fields[3])) {
    run.Failed();
    return;
  }
  LogMessage(kLogInfo, "User %s at %s removed ban on player %s (%s).", run.Name(), run.Address(),
             fields[0].c_str(), fields[2].c_str());
  TellAll(NOTE_BAN_REMOVED, fields[0]);
  TellAll(NOTE_BANS_CHANGED);
}

void VerifySync(const Run& run) {
  LogMessage(kLogInfo, "User %s at %s commanded a banlist sync verification.", run.Name(),
             run.Address());
  if (VerifyBanSync()) {
    LogMessage(kLogInfo, "The Keldor banlist is synchronised with the server banlist.");
    run.Tell(NOTE_BANS_IN_SYNC);
  } else {
    LogMessage(kLogInfo, "The Keldor banlist is NOT synchronised with the server banlist.");
    run.Tell(NOTE_BANS_NOT_IN_SYNC);
  }
}

void SyncBans(const Run& run, bool toServer) {
  ErrorCode() = 0;
  if (toServer ? SyncBansToServer() : SyncBansFromServer()) {
    LogMessage(kLogInfo,
               toServer ? "User %s at %s synchronised to the server banlist."
                        : "User %s at %s synchronised from the server banlist.",
               run.Name(), run.Address());
    run.Tell(NOTE_BANS_IN_SYNC);
    return;
  }
  LogMessage(kLogInfo,
             toServer ? "Couldn't sync to the server banlist! %s"
                      : "Couldn't sync from the server banlist! %s",
             ErrorText(ErrorCode()));
  run.Failed();
}

void SayAll(const Run& run) {
  std::string text = OneLine(run.job.text);
  for (char& c : text) {
    if (c == ' ') c = kChatBlank;
  }
  for (const std::string& piece : CutIntoPieces(text, kChatBlank)) {
    if (SendConsoleMessage("game.sayAll \"%s\"", piece.c_str()) == nullptr) {
      LogMessage(kLogInfo, "Couldn't send chat message! The command failed.");
      run.Failed();
      return;
    }
  }
  // Keldor's own announcements begin with '*' and would flood the log.
  if (text.empty() || text[0] != '*') {
    LogMessage(kLogInfo, "User %s at %s said '%s'.", run.Name(), run.Address(), text.c_str());
  }
  run.Tell(NOTE_CHAT_SENT);
}

void ServerMessage(const Run& run) {
  std::string text = OneLine(run.job.text);
  for (char& c : text) {
    if (c == kChatBlank) c = ' ';
  }
  for (const std::string& piece : CutIntoPieces(text, ' ')) {
    if (SendConsoleMessage("admin.serverMessage \"%s\"", piece.c_str()) == nullptr) {
      LogMessage(kLogInfo, "Couldn't send server message! The command failed.");
      run.Failed();
      return;
    }
  }
  LogMessage(kLogInfo, "User %s at %s said '%s'.", run.Name(), run.Address(), text.c_str());
  run.Tell(NOTE_SERVER_MESSAGE_SENT);
}

// The text goes as it stands, one command per line: a client with the console
// right may send several. Those who queue this job with a player's name, a
// reason or a menu template flatten that text to one line themselves.
// The game's reply goes to the client that asked, as a console line of its
// own right before the "done" (empty when the game said nothing), so that a
// client can tell it from the game's events, which reach every client.
void ConsoleCommand(const Run& run) {
  const char* reply = SendConsoleLines(run.job.text);
  if (reply == nullptr) {
    LogMessage(kLogInfo, "Couldn't send server message! The command failed.");
    run.Failed();
    return;
  }
  const std::string answer = reply;
  LogMessage(kLogInfo, "User %s at %s issued console command '%s'.", run.Name(), run.Address(),
             run.job.text.c_str());
  NotifyClientText(run.job.actor, NOTE_CONSOLE_EVENT, answer);
  run.Tell(NOTE_CONSOLE_COMMAND_DONE);
}

void SetPassword(const Run& run) {
  if (!ChangeUserPass(run.name, run.job.text)) {
    run.Failed();
    return;
  }
  run.Tell(NOTE_PASSWORD_CHANGED);
  TellAll(NOTE_USERS_CHANGED);
}

void Screenshot(const Run& run) {
  if (!PunkBusterEnabled()) {
    LogMessage(kLogInfo, "Couldn't take player screenshot! PunkBuster is not enabled.");
    run.Failed();
    return;
  }
  const std::string player = OneLine(run.job.text);
  if (SendConsoleMessage("pb_sv_getss \"%s\"", player.c_str()) == nullptr) {
    LogMessage(kLogInfo, "Couldn't take player screenshot! The command failed.");
    run.Failed();
    return;
  }
  LogMessage(kLogInfo, "User %s at %s requested a screenshot of player %s.", run.Name(),
             run.Address(), player.c_str());
  run.Tell(NOTE_SCREENSHOT_REQUESTED);
}

// Saving and loading PunkBuster's config differ only in command, texts and note.
void PunkBusterConfig(const Run& run, bool save) {
  if (!Console().connected || !PunkBusterEnabled()) {
    LogMessage(kLogInfo,
               save ? "Could't dump PunkBuster settings! Not connected or PunkBuster is not "
                      "enabled."
                    : "Could't load PunkBuster settings! Not connected or PunkBuster is not "
                      "enabled.");
    run.Failed();
    return;
  }
  if (SendConsoleMessage("%s", save ? "pb_sv_writecfg" : "pb_sv_load pbsv.cfg") == nullptr) {
    LogMessage(kLogInfo, "Could't dump PunkBuster settings! The command failed.");
    run.Failed();
    return;
  }
  LogMessage(kLogInfo, save ? "PunkBuster settings have been saved to pbsv.cfg."
                            : "PunkBuster settings have been loaded from pbsv.cfg.");
  run.Tell(save ? NOTE_PB_CONFIG_SAVED : NOTE_PB_CONFIG_LOADED);
}

// A console found down is connected again in the same pass, not by a job
// that would wait for the next one.
void ConsolePoll() {
  if (Console().connected) {
    ReadConsoleOutput();
  } else if (GameServer().monitoring) {
    ConnectConsoleJob();
  }
}

}  // namespace

bool QueueBroadcast(std::uint32_t note) {
  // The text is the code as a signed decimal number, as "%i" prints it.
  return QueueJob(JOB_BROADCAST, std::to_string(static_cast<std::int32_t>(note)).c_str(), 0, 0);
}

void RunJob(const QueuedCommand& job) {
  if (job.code < kFirstJobCode || job.code > kLastJobCode) return;
  const Run run{job, ActorName(job.actor), ActorAddress(job.actor)};
  switch (job.code) {
    case JOB_CONNECT_CONSOLE:
      return ConnectConsoleJob();
    case JOB_BROADCAST:
      return Broadcast(run);
    case JOB_DISCONNECT_CLIENT:
      return DisconnectClient(run);
    case JOB_EXPIRE_BANS:
    case JOB_POLICE_PLAYERS:
    case JOB_ANNOUNCE:
    case JOB_REFRESH_PLAYERS:
      return WhenConnected(job.code);
    case JOB_TOGGLE_PAUSE:
      return TogglePause(run);
    case JOB_CHANGE_MAP:
      return ChangeMap(run);
    case JOB_RUN_NEXT_MAP:
      return RunNextMap(run);
    case JOB_SET_NEXT_MAP:
      return SetNextMap(run);
    case JOB_SET_IDLE_MAP:
      return SetIdleMap(run);
    case JOB_RESTART_MAP:
      return RestartMap(run);
    case JOB_KICK_PLAYER:
      return KickPlayer(run);
    case JOB_BAN_PLAYER:
      return BanPlayer(run);
    case JOB_REMOVE_BAN:
      return RemoveBanJob(run);
    case JOB_CLEAR_BANS:
      if (!ClearBans(run.name, run.address)) run.Failed();
      return;
    case JOB_VERIFY_BAN_SYNC:
      return VerifySync(run);
    case JOB_SYNC_TO_SERVER_BANS:
      return SyncBans(run, true);
    case JOB_SYNC_FROM_SERVER_BANS:
      return SyncBans(run, false);
    case JOB_SAY_ALL:
      return SayAll(run);
    case JOB_SERVER_MESSAGE:
      return ServerMessage(run);
    case JOB_CONSOLE_COMMAND:
      return ConsoleCommand(run);
    case JOB_SET_PASSWORD:
      return SetPassword(run);
    case JOB_SCREENSHOT:
      return Screenshot(run);
    case JOB_PB_SAVE_CONFIG:
      return PunkBusterConfig(run, true);
    case JOB_PB_LOAD_CONFIG:
      return PunkBusterConfig(run, false);
    case JOB_CONSOLE_POLL:
      return ConsolePoll();
    default:
      return;  // the unused codes inside the range
  }
}

std::vector<std::string> CutIntoPieces(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t left = text.size() - start;
    if (left <= kMessagePieceMax) {
      pieces.push_back(text.substr(start));
      break;
    }
    // Look back from the 64th character to the 2nd, so that a piece is never empty.
    std::size_t cut = kMessagePieceMax;
    while (cut >= 1 && text[start + cut] != separator) --cut;
    if (cut >= 1) {
      pieces.push_back(text.substr(start, cut));
      start += cut + 1;
    } else {
      pieces.push_back(text.substr(start, kMessagePieceMax));
      start += kMessagePieceMax;
    }
  }
  return pieces;
}

}  // namespace keldor
