// The control channel for tests and demos: a UNIX stream socket in the server
// directory that takes one command per line and answers one line per command.
#pragma once

#include <sys/select.h>

#include <array>
#include <string>

#include "core/owned.h"
#include "server.h"

namespace gamesim {

constexpr const char* kControlSocketName = "gamesim.sock";
constexpr std::size_t kMaxControlClients = 8;
constexpr std::size_t kMaxControlLine = 1024;

// Carries out one control command and returns its answer line (without LF):
// "ok" and a result, or "error" and the reason. `crashStatus` is set when the
// command asks the process to die at once with that status.
std::string RunControlCommand(Server& server, const std::string& line, int& crashStatus);

class ControlChannel {
 public:
  explicit ControlChannel(Server& server) : server_(server) {}
  ~ControlChannel();

  // Binds kControlSocketName in the working directory.
  bool Listen();
  int FillSets(fd_set& readSet, int highest) const;
  // Serves what arrived; returns a crash status to die with, or -1.
  int Serve(const fd_set& readSet);

 private:
  struct Client {
    keldor::OwnedFd socket;
    std::string input;
  };
  int Read(Client& client);

  Server& server_;
  keldor::OwnedFd listen_;
  std::array<Client, kMaxControlClients> clients_;
};

}  // namespace gamesim
