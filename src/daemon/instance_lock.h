// One Keldor per installation: an exclusive lock on a file of the installation
// (keldor.lock in the settings directory), held for the life of the process.
// The -pid file is held the same way, so that it names a live Keldor.
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

enum class PidFileOutcome { kWritten, kSymbolicLink, kNotRegularFile, kHeld, kFailed };

// Opens the pid file without following a symbolic link, takes an exclusive lock
// on it held for the life of the process and writes our pid into it. kHeld puts
// the pid written there into `holder` (0 when unknown); kFailed leaves the
// reason in ErrorCode. Only a regular file is ever written.
PidFileOutcome LockPidFile(const std::string& path, int* holder);

// At a clean exit: removes the pid file when it is still the one we hold.
void RemovePidFile(const std::string& path);

}  // namespace keldor
