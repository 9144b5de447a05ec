// What the console link does around a login, a disconnect and each console
// event.
#include "gamelink/link_hooks.h"

#include "core/state_table.h"
#include "gamelink/config_sync.h"
#include "gamelink/player_table.h"
#include "gamelink/status_query.h"
#include "runtime/events.h"

namespace keldor {

namespace {
StateTable<bool> g_skip;
bool& g_skipLoginFollowUps = *g_skip;
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
  return g_skipLoginFollowUps || GetPlayerList();
}
void ForgetConnectionFacts() {
  ForgetStatusPort();
  DetectedServerVersion() = 0.0f;
  ForgetPlayers();
}
void ForwardConsoleEvent(const char* text) {
  Report(Event::kConsoleEvent, text);
}

}  // namespace keldor
