// The installation lock: flock on keldor.lock, which also names the holder's pid.
#include "daemon/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "core/error.h"
#include "core/helpers.h"
#include "core/state_table.h"

namespace keldor {

namespace {

struct InstallationLock {
  int fd = -1;
};

void Release(InstallationLock& lock) {
  if (lock.fd >= 0) close(lock.fd);  // closing the last descriptor drops the flock
  lock.fd = -1;
}

StateTable<InstallationLock> g_lock(Release);

int ReadHolder(int fd) {
  char text[32] = "";
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  text[n] = '\0';
  return std::atoi(text);
}

}  // namespace

bool LockInstallation(const std::string& path, int* holder) {
  if (holder != nullptr) *holder = 0;
  if (!EnsureFile(path, EnsureMode::kCreateIfMissing)) return false;
  // Close-on-exec: a game server we start must not keep the installation locked.
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    if (code == EWOULDBLOCK && holder != nullptr) *holder = ReadHolder(fd);
    close(fd);
    return Fail(code);
  }
  Release(*g_lock);
  g_lock->fd = fd;
  RecordLockOwner();
  return true;
}

void RecordLockOwner() {
  const int fd = g_lock->fd;
  if (fd < 0) return;
  const std::string pid = std::to_string(getpid());
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
    // The lock holds all the same; only the pid in the message is missing.
  }
}

int InstallationLockDescriptor() {
  return g_lock->fd;
}

}  // namespace keldor
