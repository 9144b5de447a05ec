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

}  // namespace keldor
