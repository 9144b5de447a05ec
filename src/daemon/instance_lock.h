// One Keldor per installation: an exclusive lock on a file of the installation
// (keldor.lock in the settings directory), held for the life of the process.
#pragma once

#include <string>

namespace keldor {

// Takes the lock and writes our pid into the file. False when it cannot: with
// `holder` the pid another Keldor wrote there (0 when unknown) when it is held,
// otherwise ErrorCode says why.
bool LockInstallation(const std::string& path, int* holder);

// Writes our pid into the lock file again (after Daemonize changed it).
void RecordLockOwner();

// The lock's descriptor, which Daemonize keeps open; -1 when none is held.
int InstallationLockDescriptor();

}  // namespace keldor
