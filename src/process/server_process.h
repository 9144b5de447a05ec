// Launching, finding, stopping and watching the game server process.
#pragma once

namespace keldor {

bool StartServer();
bool FindServerProcess(int* pid);
bool StopServer();
void MonitorServer();
void CrashWatch();

}  // namespace keldor
