// Owners of a descriptor and of a FILE*: each closes what it holds when it
// goes, whatever way the function that holds it is left.
#pragma once

#include <cstdio>
#include <memory>
#include <utility>

namespace keldor {

// A descriptor with one owner, closed with it.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept;
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() { Reset(); }
  int get() const { return fd_; }
  void Reset();
  // Closes now, for a caller that must see a failed close (a write that the
  // close reports lost); false with errno set.
  bool Close();
  // Lets go without closing: the number is handed to a new owner (fdopen's
  // FILE*) or is no longer ours to close.
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
// An open FILE*, closed with its owner.
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;
// Closes now, for a writer that must see a failed close (buffered data lost);
// false with errno set.
bool CloseFile(FileHandle& file);

}  // namespace keldor
