// Stand-in for the actor lookups of the client sessions, which are not built yet:
// the settings change lines need the acting slot's user name and address. Once
// the sessions resolve actors these two forward to ActorName and ActorAddress.
#include "settings/settings.h"

namespace keldor {

const char* SettingsActorName(int slot) {
  return slot == 0 ? "operator" : "[unknown]";
}

const char* SettingsActorAddress(int slot) {
  return slot == 0 ? "console" : "[unknown]";
}

}  // namespace keldor
