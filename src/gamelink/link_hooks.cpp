// What the console link asks of the rest of Keldor around a login, a
// disconnect and each console event. The player list and the chat policing are
// still stand-ins: the list always succeeds and chat is not examined.
#include <cstring>

#include "gamelink/link_standins.h"
#include "gamelink/status_query.h"
#include "remote/notify.h"
#include "remote/protocol.h"
#include "settings/game_config.h"

namespace keldor {

namespace {
bool g_skipLoginFollowUps = false;
}  // namespace

void SkipLoginFollowUpsForTesting(bool skip) {
  g_skipLoginFollowUps = skip;
}

bool IdentifyStatusPort() {
  return g_skipLoginFollowUps || StatusPort() != 0 || FindStatusPort();
}
bool SyncServerSettings() {
  return g_skipLoginFollowUps || ReadServerSettings();
}
bool SyncPlayerList() {
  return true;
}
void ForgetConnectionFacts() {
  ForgetStatusPort();
  DetectedServerVersion() = 0.0f;
}
void ForwardConsoleEvent(const char* text) {
  NotifyAllClients(NOTE_CONSOLE_EVENT, text, std::strlen(text) + 1, -1);
}

}  // namespace keldor
