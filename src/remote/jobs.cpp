// The jobs of the command queue: see jobs.h. What a job does is the owning
// subsystem's; here a job becomes its call, and the call's outcome the answer
// to the client that asked or the notification to every client.
#include "remote/jobs.h"

#include <cstdint>
#include <string>

#include "bans/ban_actions.h"
#include "bans/ban_store.h"
#include "bans/ban_sync.h"
#include "core/log.h"
#include "gamelink/console.h"
#include "gamelink/game_commands.h"
#include "gamelink/map_commands.h"
#include "gamelink/player_table.h"
#include "policing/kick.h"
#include "policing/policing.h"
#include "process/server_control.h"
#include "remote/accounts.h"
#include "remote/notify.h"
#include "remote/sessions.h"
#include "schedule/announcements.h"
#include "wire/protocol.h"

namespace keldor {

namespace {

// A job and who asked for it.
struct Run {
  const QueuedCommand& job;
  Actor actor;

  void Tell(std::uint32_t note) const { NotifyClient(job.actor, note, nullptr, 0); }
  void Failed() const { Tell(NOTE_COMMAND_FAILED); }
};

void TellAll(std::uint32_t note) {
  NotifyAllClients(note, nullptr, 0, 0);
}
void TellAll(std::uint32_t note, const std::string& text) {
  NotifyAllClients(note, text.c_str(), text.size() + 1, 0);
}

// The client that asked hears `note` when the action was done, else that it failed.
void Answer(const Run& run, bool done, std::uint32_t note) {
  done ? run.Tell(note) : run.Failed();
}

// Every client hears `note` when the action was done; the one that asked hears
// of a failure.
void Announce(const Run& run, bool done, std::uint32_t note) {
  done ? TellAll(note) : run.Failed();
}

// An action on the job's text whose subject (a player, a map) every client is
// told with `note`; true when it was done.
using SubjectAction = bool (*)(const Actor& actor, const std::string& request,
                               std::string& subject);
bool AnnounceSubject(const Run& run, SubjectAction action, std::uint32_t note) {
  std::string subject;
  if (!action(run.actor, run.job.text, subject)) {
    run.Failed();
    return false;
  }
  TellAll(note, subject);
  return true;
}

void Broadcast(const Run& run) {
  long long value = 0;
  if (!ParseJobNumber(run.job.text, INT32_MIN, UINT32_MAX, value)) {
    LogDebug("DEBUG: Ignored a broadcast of '%s'.", run.job.text.c_str());
    return;
  }
  TellAll(static_cast<std::uint32_t>(value));
}

void DisconnectClient(const Run& run) {
  long long slot = 0;
  if (!ParseJobNumber(run.job.text, 1, kClientSlots - 1, slot)) return;
  const int s = static_cast<int>(slot);
  // A free slot has nobody to drop; releasing it would log a departure that did not happen.
  if (!SlotInUse(s)) return;
  NotifyClient(s, NOTE_DISCONNECT, nullptr, 0);
  const std::string clientName = ActorName(s);
  const std::string clientAddress = ActorAddress(s);
  LogMessage(kLogInfo, "User %s at %s disconnected client %s at %s.", run.actor.name.c_str(),
             run.actor.address.c_str(), clientName.c_str(), clientAddress.c_str());
  EndConnectionSoon(s);
}

// The periodic jobs, which only make sense while the console link is up.
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

void Pause(const Run& run) {
  bool paused = false;
  if (!TogglePause(run.actor, paused)) return run.Failed();
  TellAll(paused ? NOTE_GAME_PAUSED : NOTE_GAME_RESUMED);
}

// The game's reply goes to the client that asked, as a console line of its
// own right before the "done" (empty when the game said nothing), so that a
// client can tell it from the game's events, which reach every client.
void ConsoleCommand(const Run& run) {
  std::string reply;
  if (!RunConsoleCommand(run.actor, run.job.text, reply)) return run.Failed();
  NotifyClientText(run.job.actor, NOTE_CONSOLE_EVENT, reply);
  run.Tell(NOTE_CONSOLE_COMMAND_DONE);
}

void SetPassword(const Run& run) {
  if (!ChangeUserPass(run.actor.name, run.job.text)) return run.Failed();
  run.Tell(NOTE_PASSWORD_CHANGED);
  TellAll(NOTE_USERS_CHANGED);
}

}  // namespace

bool QueueBroadcast(std::uint32_t note) {
  // The text is the code as a signed decimal number, as "%i" prints it.
  return QueueJob(JOB_BROADCAST, std::to_string(static_cast<std::int32_t>(note)).c_str(), 0, 0);
}

// One call per job, of the subsystem that owns the action.
void RunJob(const QueuedCommand& job) {
  if (job.code < kFirstJobCode || job.code > kLastJobCode) return;
  const Run run{job, Actor{ActorName(job.actor), ActorAddress(job.actor)}};
  const Actor& actor = run.actor;
  switch (job.code) {
    case JOB_CONNECT_CONSOLE:
      return ConnectConsoleLink();
    case JOB_CONSOLE_POLL:
      return PollConsoleLink();
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
      return Pause(run);
    case JOB_CHANGE_MAP:
      AnnounceSubject(run, ChangeMap, NOTE_MAP_CHANGED);
      return;
    case JOB_RUN_NEXT_MAP:
      return Announce(run, RunNextMap(actor), NOTE_NEXT_MAP_RUN);
    case JOB_SET_NEXT_MAP:
      AnnounceSubject(run, SetNextMap, NOTE_NEXT_MAP_SET);
      return;
    case JOB_SET_IDLE_MAP:
      AnnounceSubject(run, SetIdleMap, NOTE_IDLE_MAP_SET);
      return;
    case JOB_RESTART_MAP:
      return Announce(run, RestartMap(actor), NOTE_MAP_RESTARTED);
    case JOB_KICK_PLAYER:
      AnnounceSubject(run, KickPlayer, NOTE_PLAYER_KICKED);
      return;
    case JOB_BAN_PLAYER:
      if (AnnounceSubject(run, BanPlayer, NOTE_PLAYER_BANNED)) TellAll(NOTE_BANS_CHANGED);
      return;
    case JOB_REMOVE_BAN:
      if (AnnounceSubject(run, LiftBan, NOTE_BAN_REMOVED)) TellAll(NOTE_BANS_CHANGED);
      return;
    case JOB_CLEAR_BANS:
      // The clients hear of the clearing through its event.
      if (!ClearBans(actor.name, actor.address)) run.Failed();
      return;
    case JOB_VERIFY_BAN_SYNC:
      return run.Tell(CheckBanSync(actor) ? NOTE_BANS_IN_SYNC : NOTE_BANS_NOT_IN_SYNC);
    case JOB_SYNC_TO_SERVER_BANS:
      return Answer(run, SyncBanLists(actor, true), NOTE_BANS_IN_SYNC);
    case JOB_SYNC_FROM_SERVER_BANS:
      return Answer(run, SyncBanLists(actor, false), NOTE_BANS_IN_SYNC);
    case JOB_SAY_ALL:
      return Answer(run, SayToAll(actor, job.text), NOTE_CHAT_SENT);
    case JOB_SERVER_MESSAGE:
      return Answer(run, SendServerMessage(actor, job.text), NOTE_SERVER_MESSAGE_SENT);
    case JOB_CONSOLE_COMMAND:
      return ConsoleCommand(run);
    case JOB_SET_PASSWORD:
      return SetPassword(run);
    case JOB_SCREENSHOT:
      return Answer(run, TakeScreenshot(actor, job.text), NOTE_SCREENSHOT_REQUESTED);
    case JOB_PB_SAVE_CONFIG:
      return Answer(run, StorePunkBusterConfig(true), NOTE_PB_CONFIG_SAVED);
    case JOB_PB_LOAD_CONFIG:
      return Answer(run, StorePunkBusterConfig(false), NOTE_PB_CONFIG_LOADED);
    default:
      return;  // the unused codes inside the range
  }
}

}  // namespace keldor
