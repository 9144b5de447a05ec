// The game server's UDP status query.
#include "gamelink/status_query.h"

namespace keldor {

namespace {
int g_statusPort = 0;
}  // namespace

int StatusPort() {
  return g_statusPort;
}
void ForgetStatusPort() {
  g_statusPort = 0;
}

}  // namespace keldor
