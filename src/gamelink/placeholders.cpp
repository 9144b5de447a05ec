// Stand-ins for what the console link asks of subsystems not built yet: the
// status port, the settings read-back and the player list always succeed, and
// console events go nowhere beyond the log line.
#include "gamelink/link_standins.h"

namespace keldor {

bool IdentifyStatusPort() {
  return true;
}
bool SyncServerSettings() {
  return true;
}
bool SyncPlayerList() {
  return true;
}
void ForgetConnectionFacts() {}
void ForwardConsoleEvent(const char*) {}

}  // namespace keldor
