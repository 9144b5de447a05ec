// gamesim, the stand-in game server, in what keldor relies on: its crash
// status, the sections of a status reply, and its remote console (login, one
// line per queried key, setters, the player list and event lines). What it does
// under keldor is in server_test and dispatch_server_test. The clients here are
// written apart from keldor's so that the two cannot share a mistake.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

using testing::StringList;
using Strings = std::vector<std::string>;

// An installation whose console (user "User", password "Secret") and LAN
// status port are on free ports; gamesim runs in it until ended by its pid.
struct Sim {
  Sim(const std::vector<std::string>& args = {}) {
    const std::string settings = dir / "mods/bfvietnam/settings/";
    const std::string status = std::to_string(statusPort), console = std::to_string(consolePort);
    WriteFile(settings + "serversettings.con",
              "game.serverName \"Test Server\"\ngame.serverPort "
              "15567\ngame.serverIP 127.0.0.1\ngame.gameSpyLANPort " +
                  status + "\n");
    WriteFile(settings + "serverautoexec.con",
              "admin.timeLimit 1200\nadmin.soldierFFRatio 0.75\n"
              "admin.setNrOfRounds -1\nadmin.enableRemoteConsole User Secret " +
                  console + "\n");
    WriteFile(settings + "maplist.con", "game.setCurrentLevel hue_city GPM_CQ bfvietnam\n");
    process = std::make_unique<Process>(BinaryPath("gamesim"), args, dir.path(), "/dev/null");
    ready = WaitFor([&] { return process->Wait(0) || Control("players").rfind("ok", 0) == 0; }, 10);
  }
  std::string Control(const std::string& line) { return GameSimControl(dir.path(), line); }

  TempDir dir;
  ReservedPort console;
  int consolePort = console.port();
  int statusPort = testing::FreePort(SOCK_DGRAM);
  std::unique_ptr<Process> process;
  bool ready = false;
};

// A console client as a game administrator's tool would be: the key taken, the
// masked credentials sent; the verdict byte, or -1.
int ConsoleLogin(RawClient& console, std::string user, std::string password) {
  const std::string key = console.Read(10);
  if (key.size() != 10) return -1;
  for (std::string* text : {&user, &password}) {
    for (std::size_t i = 0; i < text->size(); ++i) (*text)[i] ^= key[i % 10];
    console.Send(testing::CountedString(*text));
  }
  const std::string verdict = console.Read(1);
  return verdict.size() == 1 ? verdict[0] : -1;
}

// One command per line; the reply's strings, a malformed one failing the test.
Strings ConsoleCommand(RawClient& console, const std::string& text) {
  Strings strings{"ConsoleMessage 0"};
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) strings.push_back(line);
  strings.push_back("\r");
  console.Send(StringList(strings));
  Strings reply;
  const std::uint32_t count = console.ReadWord();
  EXPECT_LT(count, 1000u) << "no reply";
  for (std::uint32_t i = 0; i < count && i < 1000; ++i) {
    const std::uint32_t length = console.ReadWord();
    const std::string s = length < 100000 ? console.Read(length) : "";
    if (s.empty() || s.size() != length || s.back() != '\0') {
      ADD_FAILURE() << "malformed string " << i;
      break;
    }
    reply.push_back(s.substr(0, length - 1));
  }
  return reply;
}

// A full status reply's elements: information keys as they are, player and team
// fields with their index ("player_1", "team_t0"). Empty when the reply does not
// echo the request's identifier or a section is cut short.
std::map<std::string, std::string> QueryStatus(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const timeval limit{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const sockaddr_in peer = testing::LoopbackAddress(port);
  const std::string request("\xFE\xFD\x00\x12\x34\x56\x78\xFF\xFF\xFF", 10);
  sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
         sizeof peer);
  std::string data(65536, '\0');
  const ssize_t got = recv(fd, data.data(), data.size(), 0);
  close(fd);
  if (got < 5 || data.compare(1, 4, request, 3, 4) != 0) return {};
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
  while (text(key) && !key.empty()) {
    if (!text(values[key])) return {};
  }
  // A player or team section: a byte passed over, a signed count, names, values.
  for (int section = 0; section < 2; ++section) {
    if (at + 2 > data.size()) return {};
    const int count = static_cast<signed char>(data[at + 1]);
    at += 2;
    Strings names;
    while (text(key) && !key.empty()) names.push_back(key);
    for (int i = 0; i < count; ++i) {
      for (const std::string& field : names) {
        if (!text(values[field + std::to_string(i)])) return {};
      }
    }
  }
  return values;
}

TEST(GameSim, CrashesWithTheChosenStatusAndFillsTheStatusReply) {
  Sim sim({"--bots", "1"});
  ASSERT_TRUE(sim.ready);
  ASSERT_EQ(sim.Control("add Frank team=2 score=17 ping=85"), "ok 2");
  sim.Control("set 2 kills 5");
  const auto values = QueryStatus(sim.statusPort);
  // "No limit" reads back as the 0 the settings keep for it, not the console's -1.
  const char* const expected[] = {
      "hostname", "Test Server", "hostport",         "15567", "numplayers", "2",
      "gamever",  "v1.02",       "number_of_rounds", "0",     "player_0",   "Bot1",
      "player_1", "Frank",       "team_1",           "2",     "score_1",    "17",
      "kills_1",  "5",           "ping_1",           "85",    "team_t1",    "USA"};
  for (std::size_t i = 0; i < std::size(expected); i += 2) {
    EXPECT_EQ(values.count(expected[i]) ? values.at(expected[i]) : "(none)", expected[i + 1])
        << expected[i];
  }
  EXPECT_EQ(values.count("gamemode"), 1u);

  sim.Control("crash 42");
  EXPECT_EQ(sim.process->Wait(20), 42);
  EXPECT_TRUE(testing::Exists(sim.dir / "bfvietnam.pid"));
}

TEST(GameSim, ConsoleAnswersOneLinePerKeyListsPlayersAndDeliversEventsOnce) {
  Sim sim({"+statusMonitor", "1"});
  ASSERT_TRUE(sim.ready);
  RawClient intruder(sim.consolePort), console(sim.consolePort);
  EXPECT_EQ(ConsoleLogin(intruder, "User", "secret"), 0);
  ASSERT_EQ(ConsoleLogin(console, "User", "Secret"), 1);
  // The reply without its event lines, as the administrator collects it.
  const auto run = [&](const std::string& text) {
    Strings kept;
    for (const std::string& line : ConsoleCommand(console, text)) {
      if (line.rfind("##", 0) != 0) kept.push_back(line);
    }
    return kept;
  };
  // Values from serverautoexec.con, then defaults, in the order asked.
  EXPECT_EQ(run("admin.timeLimit\nadmin.soldierFFRatio\nadmin.voteMapMajority"),
            (Strings{"1200", "0.75", "0.60"}));
  EXPECT_TRUE(run("admin.timeLimit 600").empty());
  EXPECT_EQ(run("admin.timeLimit"), Strings{"600"});
  // Something it does not know still gets exactly one harmless line.
  const auto unknown = run("admin.noSuchThing");
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_NE(unknown[0].find("Unknown command"), std::string::npos);

  const std::string keyhash = "0123456789abcdef0123456789ABCDEF";
  ASSERT_EQ(sim.Control("add \"Big Al\" ip=10.1.2.3 keyhash=" + keyhash), "ok 1");
  ASSERT_EQ(sim.Control("bot Robo"), "ok 2");
  const auto lines = run("game.listPlayers");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex("Id:1 - Big Al is remote ip: 10\\.1\\.2\\.3:[0-9]+ hash:" + keyhash)))
      << lines[0];
  EXPECT_EQ(lines[1], "Id:2 - Robo is an AI bot");

  ASSERT_EQ(sim.Control("chat 1 !kick Bob now"), "ok");
  // Keldor drops five characters and reads "prefix name: message".
  EXPECT_EQ(ConsoleCommand(console, "admin.timeLimit"),
            (Strings{"600", "##-- [All] Big Al: !kick Bob now"}));
  EXPECT_EQ(ConsoleCommand(console, "admin.timeLimit"), Strings{"600"});
}

}  // namespace
}  // namespace keldor::e2e
