// The installation lock: flock on keldor.lock, which also names the holder's pid.
#include "daemon/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "core/error.h"
#include "core/helpers.h"
#include "core/owned.h"
#include "core/state_table.h"

namespace keldor {

namespace {

// Each lock is held by its descriptor: closing the last one drops the flock.
StateTable<OwnedFd> g_lock;
StateTable<OwnedFd> g_pidFile;

int ReadHolder(int fd) {
  char text[32] = "";
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  text[n] = '\0';
  return std::atoi(text);
}

void WritePid(int fd) {
  const std::string pid = std::to_string(getpid());
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
    // The lock holds all the same; only the pid in the file is missing.
  }
}

}  // namespace

bool LockInstallation(const std::string& path, int* holder) {
  if (holder != nullptr) *holder = 0;
  if (!EnsureFile(path, EnsureMode::kCreateIfMissing)) return false;
  // Close-on-exec: a game server we start must not keep the installation locked.
  OwnedFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (fd.get() < 0) return Fail(errno);
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    if (code == EWOULDBLOCK && holder != nullptr) *holder = ReadHolder(fd.get());
    return Fail(code);
  }
  *g_lock = std::move(fd);
  RecordLockOwner();
  return true;
}

void RecordLockOwner() {
  if (g_lock->get() >= 0) WritePid(g_lock->get());
}

int InstallationLockDescriptor() {
  return g_lock->get();
}

PidFileOutcome LockPidFile(const std::string& path, int* holder) {
  *holder = 0;
  // Not blocking on a pipe, not taking a terminal; close-on-exec so that the
  // game server we start does not hold the lock after us.
  OwnedFd fd(
      open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    if (errno == ELOOP) return PidFileOutcome::kSymbolicLink;
    if (errno == EISDIR) return PidFileOutcome::kNotRegularFile;
    Fail(errno);
    return PidFileOutcome::kFailed;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return PidFileOutcome::kNotRegularFile;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    if (code == EWOULDBLOCK) *holder = ReadHolder(fd.get());
    if (code == EWOULDBLOCK) return PidFileOutcome::kHeld;
    Fail(code);
    return PidFileOutcome::kFailed;
  }
  WritePid(fd.get());
  *g_pidFile = std::move(fd);
  return PidFileOutcome::kWritten;
}

void RemovePidFile(const std::string& path) {
  const int fd = g_pidFile->get();
  if (fd < 0) return;
  // Only the very file we locked: one put in its place since is someone else's.
  struct stat held;
  struct stat named;
  if (fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
      held.st_ino == named.st_ino) {
    unlink(path.c_str());
  }
  g_pidFile->Reset();
}

}  // namespace keldor
