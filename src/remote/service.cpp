// What the other subsystems report, told to the clients.
#include "remote/service.h"

#include <cstring>

namespace keldor {

// Server state changes go through the queue, so that they reach the clients in
// the order of the work queued before them (a crash before the restart); the
// rest are told at once.
void TellClients(Event event, const char* text) {
  switch (event) {
    case Event::kServerStarted:
      QueueBroadcast(NOTE_SERVER_STARTED);
      return;
    case Event::kServerStopped:
      QueueBroadcast(NOTE_SERVER_STOPPED);
      return;
    case Event::kServerCrashed:
      QueueBroadcast(NOTE_SERVER_CRASHED);
      return;
    case Event::kServerHung:
      QueueBroadcast(NOTE_SERVER_HUNG);
      return;
    case Event::kScheduleChanged:
      QueueBroadcast(NOTE_SCHEDULE_CHANGED);
      return;
    case Event::kGamePaused:
      NotifyAllClients(NOTE_GAME_PAUSED, nullptr, 0, -1);
      return;
    case Event::kGameResumed:
      NotifyAllClients(NOTE_GAME_RESUMED, nullptr, 0, -1);
      return;
    case Event::kBansChanged:
      NotifyAllClients(NOTE_BANS_CHANGED, nullptr, 0, -1);
      return;
    case Event::kBansCleared:
      NotifyAllClients(NOTE_BANS_CLEARED, nullptr, 0, -1);
      return;
    case Event::kConsoleEvent:
      if (text != nullptr) NotifyAllClients(NOTE_CONSOLE_EVENT, text, std::strlen(text) + 1, -1);
      return;
    case Event::kAutoKickWord:
      NotifyAllClientsText(NOTE_AUTO_KICK_WORD, text != nullptr ? text : "", -1);
      return;
    case Event::kAutoKickScore:
      NotifyAllClientsText(NOTE_AUTO_KICK_SCORE, text != nullptr ? text : "", -1);
      return;
    case Event::kAutoBanScore:
      NotifyAllClientsText(NOTE_AUTO_BAN_SCORE, text != nullptr ? text : "", -1);
      return;
    case Event::kAutoKickPing:
      NotifyAllClientsText(NOTE_AUTO_KICK_PING, text != nullptr ? text : "", -1);
      return;
  }
}

}  // namespace keldor
