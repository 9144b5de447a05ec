// Owners of a descriptor and of a FILE*: see owned.h.
#include "core/owned.h"

#include <unistd.h>

namespace keldor {

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void OwnedFd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool OwnedFd::Close() {
  return close(std::exchange(fd_, -1)) == 0;
}

bool CloseFile(FileHandle& file) {
  return std::fclose(file.release()) == 0;
}

}  // namespace keldor
