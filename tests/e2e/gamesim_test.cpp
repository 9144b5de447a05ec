// gamesim, the stand-in game server, in what keldor relies on: its command line
// and crash status, the sections of a status reply, and its remote console
// (login, one line per queried key, setters, the player list, event lines and
// console output). Its quit, probed status port, maps, pause, messages and mute
// switch are exercised through keldor in server_test, dispatch_server_test and
// client_test. The clients here are written apart from keldor's so that the
// two cannot share a mistake.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

using testing::Exists;
using testing::StringList;

// The settings of a small installation in `dir`: the console on a free port
// (user "User", password "Secret") and the LAN status port free as well.
struct Install {
  explicit Install(const std::string& dir) {
    const std::string settings = dir + "/mods/bfvietnam/settings/";
    WriteFile(settings + "serversettings.con",
              "game.serverName \"Test Server\"\ngame.serverIP 127.0.0.1\ngame.serverPort 15567\n"
              "game.gameSpyLANPort " +
                  std::to_string(statusPort) +
                  "\ngame.serverMaxPlayers 16\ngame.serverInternet 0\ngame.serverPunkBuster 1\n");
    WriteFile(settings + "serverautoexec.con",
              "admin.timeLimit 1200\nadmin.soldierFFRatio 0.75\nadmin.setNrOfRounds -1\n"
              "admin.enableRemoteConsole User Secret " +
                  std::to_string(consolePort) + "\n");
    WriteFile(settings + "maplist.con",
              "game.setCurrentLevel hue_city GPM_CQ bfvietnam\n"
              "game.addLevelToRotation hue_city GPM_CQ bfvietnam\n");
  }
  int consolePort = FreePort();
  int statusPort = FreePort(SOCK_DGRAM);
};

// The real gamesim in `dir`; ended by the test by its pid.
class GameSim : public Process {
 public:
  GameSim(const std::string& dir, const std::vector<std::string>& args)
      : Process(BinaryPath("gamesim"), args, dir, "/dev/null"), dir_(dir) {}
  // Waits until the control channel answers; false when the process died first.
  bool WaitReady() {
    return WaitFor([this] { return Wait(0) || Control("players").rfind("ok", 0) == 0; }, 10) &&
           !Wait(0);
  }
  std::string Control(const std::string& line) { return GameSimControl(dir_, line); }

 private:
  std::string dir_;
};

// A console client as a game administrator's tool would be.
class Console {
 public:
  explicit Console(int port) : fd_(ConnectLoopback(port)) {}
  ~Console() { close(fd_); }

  // Takes the key, sends the masked credentials; the verdict byte, or -1.
  int Login(const std::string& user, const std::string& password) {
    const std::string key = Receive(10);
    if (key.size() != 10) return -1;
    std::string bytes;
    for (std::string text : {user, password}) {
      for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>(text[i] ^ key[i % 10]);
      bytes += testing::CountedString(text);
    }
    Send(bytes);
    const std::string verdict = Receive(1);
    return verdict.size() == 1 ? verdict[0] : -1;
  }
  // One command per line; the reply's strings.
  std::vector<std::string> Command(const std::string& text) {
    std::vector<std::string> strings{"ConsoleMessage 0"};
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) strings.push_back(line);
    strings.push_back("\r");
    Send(StringList(strings));
    return ReadList();
  }
  std::vector<std::string> Output() {
    Send(StringList({"ConsoleRun 0", ""}));
    return ReadList();
  }

 private:
  void Send(const std::string& bytes) { send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  std::string Receive(std::size_t size) { return testing::ReadExactly(fd_, size, 5); }
  std::optional<std::uint32_t> ReceiveWord() {
    const std::string bytes = Receive(4);
    if (bytes.size() != 4) return std::nullopt;
    return testing::WordFrom(bytes);
  }
  // A string list; a malformed one fails the test.
  std::vector<std::string> ReadList() {
    std::vector<std::string> strings;
    const auto count = ReceiveWord();
    for (std::uint32_t i = 0; count && i < *count && i < 10000; ++i) {
      const auto length = ReceiveWord();
      std::string text = length && *length <= 1000000 ? Receive(*length) : "";
      if (text.empty() || text.size() != *length || text.back() != '\0') {
        ADD_FAILURE() << "malformed string " << i;
        break;
      }
      text.pop_back();
      strings.push_back(text);
    }
    EXPECT_TRUE(count.has_value()) << "no reply";
    return strings;
  }

  int fd_;
};

// A status reply's elements: information keys as they are, player and team
// fields with their index ("player_1", "team_t0"). Nothing when the reply does
// not echo the request's identifier or a section is cut short.
std::optional<std::map<std::string, std::string>> QueryStatus(int port, bool info, bool players,
                                                              bool teams) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const timeval limit{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const sockaddr_in peer = testing::LoopbackAddress(port);
  const std::string request = std::string("\xFE\xFD\x00\x12\x34\x56\x78", 7) +
                              (info ? '\xFF' : '\0') + (players ? '\xFF' : '\0') +
                              (teams ? '\xFF' : '\0');
  sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
         sizeof peer);
  std::string data(65536, '\0');
  const ssize_t got = recv(fd, data.data(), data.size(), 0);
  close(fd);
  if (got < 5 || data.compare(1, 4, request, 3, 4) != 0) return std::nullopt;
  data.resize(static_cast<std::size_t>(got));
  std::size_t at = 5;
  const auto text = [&](std::string& out) {
    const std::size_t end = data.find('\0', at);
    if (end == std::string::npos) return false;
    out = data.substr(at, end - at);
    at = end + 1;
    return true;
  };
  std::map<std::string, std::string> values;
  std::string key;
  while (info && text(key) && !key.empty()) {
    if (!text(values[key])) return std::nullopt;
  }
  // A player or team section: a byte passed over, a signed count, names, values.
  for (bool wanted : {players, teams}) {
    if (!wanted) continue;
    if (at + 2 > data.size()) return std::nullopt;
    const int count = static_cast<signed char>(data[at + 1]);
    at += 2;
    std::vector<std::string> names;
    while (text(key) && !key.empty()) names.push_back(key);
    for (int i = 0; i < count; ++i) {
      for (const std::string& field : names) {
        if (!text(values[field + std::to_string(i)])) return std::nullopt;
      }
    }
  }
  return values;
}

TEST(GameSimProcess, RefusesBadArgumentsAndCrashesWithTheChosenStatusLeavingItsPidFile) {
  TempDir dir;
  EXPECT_EQ(GameSim(dir.path(), {"--seed", "many"}).Wait(20), 2);
  EXPECT_EQ(GameSim(dir.path(), {"+statusMonitor"}).Wait(20), 2);

  Install install(dir.path());
  GameSim sim(dir.path(), {});
  ASSERT_TRUE(sim.WaitReady());
  EXPECT_EQ(sim.Control("crash 300"), "error the status is 0 to 255");
  sim.Control("crash 42");
  EXPECT_EQ(sim.Wait(20), 42);
  EXPECT_TRUE(Exists(dir / "bfvietnam.pid"));
}

TEST(GameSimStatus, EchoesTheRequestAndFillsTheSectionsAsked) {
  TempDir dir;
  const Install install(dir.path());
  GameSim sim(dir.path(), {"--bots", "1"});
  ASSERT_TRUE(sim.WaitReady());
  ASSERT_EQ(sim.Control("add Frank team=2 score=17 ping=85"), "ok 2");
  sim.Control("set 2 kills 5");

  const auto info = QueryStatus(install.statusPort, true, false, false);
  ASSERT_TRUE(info.has_value());
  for (const char* key :
       {"hostport", "hostname", "mapname", "gametype", "gamemode", "numplayers", "maxplayers",
        "gamever", "sv_punkbuster", "timelimit", "tickets1", "tickets2", "game_id", "Ticket Ratio",
        "roundTimeRemain", "password", "tk_mode", "content_check"}) {
    EXPECT_EQ(info->count(key), 1u) << key;
  }
  EXPECT_EQ(info->at("hostname"), "Test Server");
  EXPECT_EQ(info->at("hostport"), "15567");
  EXPECT_EQ(info->at("numplayers"), "2");
  EXPECT_EQ(info->at("sv_punkbuster"), "1");
  EXPECT_EQ(info->at("gamever"), "v1.02");
  // "No limit" reads back as the 0 the settings keep for it, not the console's -1.
  EXPECT_EQ(info->at("Number Of Rounds"), "0");
  EXPECT_EQ(info->at("number_of_rounds"), "0");
  EXPECT_EQ(info->count("player_0"), 0u);

  const auto all = QueryStatus(install.statusPort, true, true, true);
  ASSERT_TRUE(all.has_value());
  const std::map<std::string, std::string> expected = {
      {"player_0", "Bot1"}, {"player_1", "Frank"}, {"team_1", "2"},    {"score_1", "17"},
      {"kills_1", "5"},     {"ping_1", "85"},      {"team_t0", "NVA"}, {"team_t1", "USA"}};
  for (const auto& [key, value] : expected) EXPECT_EQ(all->at(key), value) << key;
  EXPECT_EQ(all->at("keyhash_1").size(), 32u);
  EXPECT_EQ(QueryStatus(install.statusPort, false, true, true).value().at("player_1"), "Frank");

  // A pause is told only from the next round on; the round's end comes first.
  const auto mode = [&] {
    return QueryStatus(install.statusPort, true, false, false).value().at("gamemode");
  };
  sim.Control("endround");
  EXPECT_EQ(mode(), "end");
  sim.Control("pause on");
  EXPECT_EQ(mode(), "end");
  sim.Control("nextround");
  EXPECT_EQ(mode(), "pause");
}

class GameSimConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.WaitReady());
    console_ = std::make_unique<Console>(install_.consolePort);
    ASSERT_EQ(console_->Login("User", "Secret"), 1);
  }
  // The reply without its event lines, as the administrator collects it.
  std::vector<std::string> Run(const std::string& text) {
    std::vector<std::string> kept;
    for (const std::string& line : console_->Command(text)) {
      if (line.rfind("##", 0) != 0) kept.push_back(line);
    }
    return kept;
  }

  TempDir dir_;
  Install install_{dir_.path()};
  GameSim sim_{dir_.path(), {"+statusMonitor", "1"}};
  std::unique_ptr<Console> console_;
};

TEST_F(GameSimConsole, RefusesWrongCredentials) {
  EXPECT_EQ(Console(install_.consolePort).Login("User", "secret"), 0);
}

TEST_F(GameSimConsole, AnswersOneLinePerBareKeyAndStoresSetters) {
  // Values from serverautoexec.con, then defaults, in the order asked.
  EXPECT_EQ(Run("admin.timeLimit\nadmin.soldierFFRatio\nadmin.maxAllowedConnectionType\n"
                "admin.voteMapMajority\ngame.enableFreeCamera"),
            (std::vector<std::string>{"1200", "0.75", "CTLanT1", "0.60", "0"}));
  EXPECT_TRUE(Run("admin.timeLimit 600\nadmin.kickback 0.50").empty());
  EXPECT_EQ(Run("admin.timeLimit\nadmin.kickback"), (std::vector<std::string>{"600", "0.50"}));
  // Something it does not know still gets exactly one harmless line.
  const auto unknown = Run("admin.noSuchThing");
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_NE(unknown[0].find("Unknown command"), std::string::npos);
}

TEST_F(GameSimConsole, ListsPlayersWithTheMarkersKeldorReads) {
  const std::string keyhash = "0123456789abcdef0123456789ABCDEF";
  ASSERT_EQ(sim_.Control("add \"Big Al\" ip=10.1.2.3 keyhash=" + keyhash), "ok 1");
  ASSERT_EQ(sim_.Control("bot Robo"), "ok 2");
  ASSERT_EQ(sim_.Control("add Zed"), "ok 3");
  const auto lines = Run("game.listPlayers");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex("Id:1 - Big Al is remote ip: 10\\.1\\.2\\.3:[0-9]+ hash:" + keyhash)))
      << lines[0];
  EXPECT_EQ(lines[1], "Id:2 - Robo is an AI bot");
  EXPECT_TRUE(std::regex_match(
      lines[2], std::regex("Id:3 - Zed is remote ip: [0-9.]+:[0-9]+ hash:[0-9a-f]{32}")))
      << lines[2];

  Run("admin.kickPlayer 1");
  const auto after = Run("game.listPlayers");
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[1].rfind("Id:3 - Zed ", 0), 0u);
}

TEST_F(GameSimConsole, DeliversEventLinesOnceWithTheNextReplyAndAsOutput) {
  ASSERT_EQ(sim_.Control("add Alice"), "ok 1");
  EXPECT_EQ(console_->Command("admin.timeLimit"),
            (std::vector<std::string>{"1200", "##-- [Game] Alice joined the game"}));
  ASSERT_EQ(sim_.Control("chat 1 !kick Bob now"), "ok");
  // Keldor drops five characters and reads "prefix name: message".
  EXPECT_EQ(console_->Command("admin.timeLimit"),
            (std::vector<std::string>{"1200", "##-- [All] Alice: !kick Bob now"}));
  EXPECT_EQ(console_->Command("admin.timeLimit"), std::vector<std::string>{"1200"});

  ASSERT_EQ(sim_.Control("event Something happened"), "ok");
  const auto output = console_->Output();
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(output.back(), "##-- Something happened");

  // The PunkBuster version is the parenthesised part of the output's first line.
  EXPECT_TRUE(Run("pb_sv_ver").empty());
  const auto version = console_->Output();
  ASSERT_GE(version.size(), 2u);
  EXPECT_LT(version[1].find('('), version[1].find(')'));
}

}  // namespace
}  // namespace keldor::e2e
