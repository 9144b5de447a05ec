// Stand-ins for the timer passes until the crash watch and monitor are built.
#include "process/server_process.h"

namespace keldor {

void MonitorServer() {}
void CrashWatch() {}

}  // namespace keldor
