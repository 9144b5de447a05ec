// The process subsystem's record of the supervised game server.
#include "process/server_process.h"

namespace keldor {

namespace {
ServerWatch g_watch;
}  // namespace

ServerWatch& Watch() {
  return g_watch;
}
void ResetServerWatch() {
  g_watch = ServerWatch{};
}

void SetCurrentMapOverride(const std::string& combo) {
  g_watch.currentMapOverride = combo;
}
const std::string& CurrentMapOverride() {
  return g_watch.currentMapOverride;
}
void SetIdleMapCombo(const std::string& combo) {
  g_watch.idleMapCombo = combo;
}
const std::string& IdleMapCombo() {
  return g_watch.idleMapCombo;
}
bool GamePaused() {
  return g_watch.paused;
}
void SetGamePaused(bool paused) {
  g_watch.paused = paused;
}
bool PunkBusterEnabled() {
  return g_watch.punkBusterEnabled;
}

}  // namespace keldor
