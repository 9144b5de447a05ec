// The remote console's TCP server: login with key, masked credentials and
// verdict, then string-list requests answered one at a time.
#pragma once

#include <sys/select.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/owned.h"
#include "server.h"
#include "wire.h"

namespace gamesim {

constexpr std::size_t kMaxConsoleClients = 8;
constexpr std::size_t kMaxPendingOutput = 4u << 20;  // unsent reply bytes per client

struct ConsoleClient {
  keldor::OwnedFd socket;
  enum class Stage { kUser, kPassword, kLoggedIn } stage = Stage::kUser;
  std::array<std::uint8_t, kLoginKeySize> key{};
  std::string user;
  std::vector<std::uint8_t> input;
  std::vector<std::uint8_t> output;
  bool closing = false;  // close once the output is sent
};

class ConsoleServer {
 public:
  explicit ConsoleServer(Server& server) : server_(server) {}

  // Listens on address:port; false with a log line when that fails.
  bool Listen(const std::string& address, int port);
  int listenSocket() const { return listen_.get(); }

  // Adds the sockets to wait on (nothing while muted or hung) and returns the highest.
  int FillSets(fd_set& readSet, fd_set& writeSet, int highest) const;
  void Serve(const fd_set& readSet, const fd_set& writeSet);
  // Sends what is pending while the process is about to exit.
  void Flush();

 private:
  void Accept();
  void Read(ConsoleClient& client);
  void Process(ConsoleClient& client);
  void Answer(ConsoleClient& client, const std::vector<std::string>& request);
  void Write(ConsoleClient& client);
  void Close(ConsoleClient& client, const char* why);

  Server& server_;
  keldor::OwnedFd listen_;
  std::array<ConsoleClient, kMaxConsoleClients> clients_;
  // Login keys come from their own generator so that logins leave the
  // seeded game untouched.
  std::mt19937 keys_{std::random_device{}()};
};

}  // namespace gamesim
