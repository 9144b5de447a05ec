// Stand-ins for game server control until it is built: no game server is ever
// found, started or watched.
#include "process/server_process.h"

#include "core/state.h"

namespace keldor {

bool StartServer() {
  State().errorCode = 0;
  return false;
}

bool FindServerProcess(int*) { return false; }
bool StopServer() { return true; }
void MonitorServer() {}
void CrashWatch() {}

}  // namespace keldor
