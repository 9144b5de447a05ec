// What the gamesim end-to-end tests share: a temp server directory, free
// loopback ports, the real gamesim process, and tiny clients for its remote
// console, status query and control channel.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "process_support.h"

namespace gamesim_test {

using keldor::testing::Exists;
using keldor::testing::ReadFile;
using keldor::testing::TempDir;
using keldor::testing::WriteFile;

// The settings files of a small installation with the console on `consolePort`
// (user "User", password "Secret") and the LAN status port `statusPort`.
struct Install {
  std::string dir;          // server directory
  std::string settingsDir;  // mods/bfvietnam/settings, or the overlay's settings
  int consolePort = 0;
  int statusPort = 0;
};
Install MakeInstall(const std::string& dir, const std::string& settingsDir,
                    const std::string& extraSettings = "", const std::string& extraAutoexec = "");

// The real gamesim binary, started in a directory; ended by the test by pid.
class GameSim : public keldor::e2e::Process {
 public:
  GameSim(const std::string& dir, const std::vector<std::string>& args)
      : Process(keldor::e2e::BinaryPath("gamesim"), args, dir, "/dev/null"), dir_(dir) {}
  // Waits until the control socket answers; false when the process died first.
  bool WaitReady() {
    return keldor::e2e::WaitFor(
               [this] { return Wait(0) || Control("players").rfind("ok", 0) == 0; }, 10) &&
           !Wait(0);
  }
  std::optional<int> WaitExit() { return Wait(20); }
  // One control command and its answer line.
  std::string Control(const std::string& line) { return keldor::e2e::GameSimControl(dir_, line); }

 private:
  std::string dir_;
};

// A console client as a game administrator's tool would be.
class Console {
 public:
  ~Console();
  bool Connect(int port);
  // Sends the masked credentials and returns the verdict byte, or -1.
  int Login(const std::string& user, const std::string& password);
  // A command request of the text's lines; nullopt when no reply came.
  std::optional<std::vector<std::string>> Command(const std::string& text);
  // An output request with the NUL key.
  std::optional<std::vector<std::string>> Output();
  bool SendRaw(const std::vector<std::uint8_t>& bytes);
  std::optional<std::vector<std::string>> ReadList();
  // True when the peer closed the connection (reads give end of file).
  bool PeerClosed();
  void SetReceiveTimeout(int seconds);

 private:
  bool Receive(void* data, std::size_t size);
  int socket_ = -1;
  std::uint8_t key_[10] = {};
};

std::vector<std::uint8_t> StringList(const std::vector<std::string>& strings);

// A status query; the reply rewritten into key -> value as the administrator
// daemon reads it (player fields become "player_0", team fields "team_t0").
std::optional<std::map<std::string, std::string>> QueryStatus(int port, bool info, bool players,
                                                              bool teams);

// The fields of a game.listPlayers line, found by the markers the daemon uses.
struct ListedPlayer {
  int id = 0;
  std::string name;
  std::string ip;
  std::string keyhash;
};
std::optional<ListedPlayer> ParsePlayerLine(const std::string& line);

}  // namespace gamesim_test
