// What the console link asks of the rest of Keldor around a login and a
// disconnect. The player list and the forwarding of console events are still
// stand-ins: the list always succeeds and events go nowhere beyond the log line.
#include "gamelink/link_standins.h"
#include "gamelink/status_query.h"
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
void ForwardConsoleEvent(const char*) {}

}  // namespace keldor
