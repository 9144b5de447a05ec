// Running the real binaries in end-to-end tests: temp installations, free
// loopback ports, child processes that are waited for and ended by pid.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace keldor::e2e {

inline std::string BinaryPath(const std::string& name) {
  return std::string(KELDOR_BIN_DIR) + "/" + name;
}

using keldor::testing::LogDirTest;
using keldor::testing::ReadFile;
using keldor::testing::TempDir;
using keldor::testing::WriteFile;

// A loopback port (TCP or UDP) that nothing uses right now.
inline int FreePort(int type = SOCK_STREAM) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

// Polls `done` every 50 ms until it holds or `seconds` pass.
inline bool WaitFor(const std::function<bool()>& done, double seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

// One child process with its standard output and error in a file.
class Process {
 public:
  Process(const std::string& binary, const std::vector<std::string>& args, const std::string& cwd,
          const std::string& outputFile)
      : output_(outputFile) {
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      if (chdir(cwd.c_str()) != 0) _exit(126);
      const int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(binary.c_str()));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(binary.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Process() {
    if (!exited_) {
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  std::string Output() const { return ReadFile(output_); }
  void Signal(int signal) const { kill(pid_, signal); }

  // The exit status (or 128 + signal) once the process ends within `seconds`.
  std::optional<int> Wait(double seconds = 30) {
    if (exited_) return status_;
    WaitFor(
        [this] {
          int status = 0;
          if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
          exited_ = true;
          status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        },
        seconds);
    if (!exited_) return std::nullopt;
    return status_;
  }

 private:
  std::string output_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

inline bool CanConnect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Sends one line to a running gamesim's control channel in `serverDir` and
// returns its answer line ("" when it cannot be reached).
inline std::string GameSimControl(const std::string& serverDir, const std::string& line) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = serverDir + "/gamesim.sock";
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = line + "\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char c;
    while (recv(fd, &c, 1, 0) == 1 && c != '\n') answer.push_back(c);
  }
  close(fd);
  return answer;
}

// Lays out a game installation with mkinstall.
inline void MakeInstallation(const std::string& dir, const std::string& options = "") {
  const std::string command =
      BinaryPath("mkinstall") + " " + options + " " + dir + " > " + dir + "/mkinstall.txt";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("mkinstall failed");
}

// A "key: value" line of what mkinstall printed about the installation in `dir`.
inline std::string InstallationFact(const std::string& dir, const std::string& key) {
  std::istringstream lines(ReadFile(dir + "/mkinstall.txt"));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
  }
  return {};
}

}  // namespace keldor::e2e
