// Shared helpers for the unit and end-to-end tests: temporary directories, file
// contents, loopback sockets, waiting on a condition, and the little-endian
// words and counted strings of the wire formats.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace keldor::testing {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/keldor-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  std::ofstream(path, std::ios::binary) << content;
}

inline bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

// The permission bits of `path` itself, not of what a link there names; 01000 when missing.
inline unsigned FileMode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000;
}

// Names in a directory in the order readdir gives them (the order a scan sees).
inline std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* handle = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(handle)) names.push_back(entry->d_name);
    closedir(handle);
  }
  return names;
}

// Polls `done` every 20 ms until it holds or `seconds` pass.
inline bool WaitFor(const std::function<bool()>& done, double seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A socket of `type` bound to 127.0.0.1:`port` (0: a free one), or -1.
inline int BindLoopback(int type, int port = 0) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  const sockaddr_in address = LoopbackAddress(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

inline int LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

// A loopback port that nothing uses right now, and that a test running in
// parallel may take before our process binds it: for UDP, where the game
// server's status socket allows no second binding. TCP ports are reserved.
inline int FreePort(int type = SOCK_STREAM) {
  const int fd = BindLoopback(type);
  const int port = LocalPort(fd);
  close(fd);
  return port;
}

// A loopback TCP port held for a process the test starts. The socket stays
// bound with SO_REUSEADDR but never listens: the kernel hands the port to no
// other binder, while keldor and gamesim, whose listeners set SO_REUSEADDR, can
// still bind and listen on it. Held rather than asked for again, because the
// daemon reports no port it picked itself. Release it once the process
// listens when the test then binds the port itself.
class ReservedPort {
 public:
  ReservedPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;
    const sockaddr_in address = LoopbackAddress(0);
    if (setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("no port to reserve");
    }
    port_ = LocalPort(fd_);
  }
  ~ReservedPort() { Release(); }
  ReservedPort(const ReservedPort&) = delete;
  ReservedPort& operator=(const ReservedPort&) = delete;

  int port() const { return port_; }
  void Release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  int port_ = 0;
};

// A TCP connection to 127.0.0.1:`port`, or -1.
inline int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

// Written apart from the daemon's own encoders so that the two cannot share a mistake.
inline std::string LittleEndian(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

inline std::uint32_t WordFrom(const std::string& bytes, std::size_t at = 0) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes.at(at + i));
  return value;
}

// `size` bytes from `fd`; fewer when it closes or `seconds` pass without data.
inline std::string ReadExactly(int fd, std::size_t size, int seconds = 10) {
  std::string bytes;
  char buffer[4096];
  while (bytes.size() < size) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, seconds * 1000) <= 0) break;
    const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, size - bytes.size()), 0);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

// One counted string: its length (with the zero byte), the text and the zero byte.
inline std::string CountedString(const std::string& text) {
  return LittleEndian(static_cast<std::uint32_t>(text.size() + 1)) + text + std::string(1, '\0');
}

// A whole string list in the game console's wire format.
inline std::string StringList(const std::vector<std::string>& strings) {
  std::string bytes = LittleEndian(static_cast<std::uint32_t>(strings.size()));
  for (const std::string& s : strings) bytes += CountedString(s);
  return bytes;
}

// A test in a fresh temp directory that holds keldor.log.
class LogDirTest : public ::testing::Test {
 protected:
  std::string Log() const { return ReadFile(dir_ / "keldor.log"); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
  int CountLogged(const std::string& text) const {
    const std::string log = Log();
    int count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }

  TempDir dir_;
};

}  // namespace keldor::testing
