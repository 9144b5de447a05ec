// gamesim as a process and its status query: command line, pid file, overlay
// settings, exits on quit, signal and crash, rounds, and reproducible games.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "gamesim_harness.h"

namespace gamesim_test {
namespace {

std::vector<std::string> PlayerLines(int consolePort) {
  Console console;
  if (!console.Connect(consolePort) || console.Login("User", "Secret") != 1) return {};
  return console.Command("game.listPlayers").value_or(std::vector<std::string>{});
}

TEST(GameSimProcess, WritesItsPidAndEndsCleanlyOnSigterm) {
  TempDir dir;
  const Install install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings");
  GameSim sim(dir.path(), {"+statusMonitor", "1", "+maxPlayers", "8", "+other", "x"});
  ASSERT_TRUE(sim.WaitReady());
  EXPECT_EQ(ReadFile(dir.path() + "/bfvietnam.pid"), std::to_string(sim.pid()) + "\n");
  EXPECT_EQ((*QueryStatus(install.statusPort, true, false, false))["maxplayers"], "8");
  kill(sim.pid(), SIGTERM);
  EXPECT_EQ(sim.WaitExit(), 0);
  EXPECT_FALSE(Exists(dir.path() + "/bfvietnam.pid"));
}

TEST(GameSimProcess, ReadsItsSettingsFromTheOverlay) {
  TempDir dir;
  const std::string overlay = dir.path() + "/overlay";
  // A decoy in the mod's own settings directory must not be read.
  WriteFile(dir.path() + "/mods/bfvietnam/settings/serversettings.con",
            "game.serverName \"Decoy\"\n");
  const Install install =
      MakeInstall(dir.path(), overlay + "/settings", "game.serverName \"Overlaid\"\n");
  GameSim sim(dir.path(), {"+statusMonitor", "1", "+overlayPath", overlay});
  ASSERT_TRUE(sim.WaitReady());
  const auto status = QueryStatus(install.statusPort, true, false, false);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->at("hostname"), "Overlaid");
  Console console;
  ASSERT_TRUE(console.Connect(install.consolePort));
  EXPECT_EQ(console.Login("User", "Secret"), 1);
}

TEST(GameSimProcess, RefusesArgumentsItCannotTake) {
  TempDir dir;
  GameSim bad(dir.path(), {"--seed", "many"});
  EXPECT_EQ(bad.WaitExit(), 2);
  GameSim missing(dir.path(), {"+statusMonitor"});
  EXPECT_EQ(missing.WaitExit(), 2);
}

TEST(GameSimProcess, QuitEndsWithTheChosenStatus) {
  TempDir dir;
  const Install install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings");
  {
    GameSim sim(dir.path(), {});
    ASSERT_TRUE(sim.WaitReady());
    Console console;
    ASSERT_TRUE(console.Connect(install.consolePort));
    ASSERT_EQ(console.Login("User", "Secret"), 1);
    EXPECT_TRUE(console.Command("quit").has_value());  // answered before it goes
    EXPECT_EQ(sim.WaitExit(), 0);
  }
  {
    GameSim sim(dir.path(), {"--quit-status", "4"});
    ASSERT_TRUE(sim.WaitReady());
    EXPECT_EQ(sim.Control("quitstatus 9"), "ok");
    Console console;
    ASSERT_TRUE(console.Connect(install.consolePort));
    ASSERT_EQ(console.Login("User", "Secret"), 1);
    console.Command("quit");
    EXPECT_EQ(sim.WaitExit(), 9);
  }
}

TEST(GameSimProcess, CrashesWithTheChosenStatusLeavingItsPidFile) {
  TempDir dir;
  MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings");
  GameSim sim(dir.path(), {});
  ASSERT_TRUE(sim.WaitReady());
  EXPECT_EQ(sim.Control("crash 300"), "error the status is 0 to 255");
  sim.Control("crash 42");
  EXPECT_EQ(sim.WaitExit(), 42);
  EXPECT_TRUE(Exists(dir.path() + "/bfvietnam.pid"));
}

TEST(GameSimProcess, RunsWithoutConsoleWhenTheAutoexecLacksIt) {
  TempDir dir;
  const Install install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings");
  WriteFile(install.settingsDir + "/serverautoexec.con", "admin.timeLimit 60\r\n");  // CR LF too
  GameSim sim(dir.path(), {});
  ASSERT_TRUE(sim.WaitReady());
  Console console;
  EXPECT_FALSE(console.Connect(install.consolePort));
  EXPECT_EQ((*QueryStatus(install.statusPort, true, false, false))["timelimit"], "60");
}

TEST(GameSimStatus, MovesToAProbedPortWhenItsOwnIsTaken) {
  TempDir dir;
  const Install install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings");
  const int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in taken{};
  taken.sin_family = AF_INET;
  taken.sin_port = htons(static_cast<std::uint16_t>(install.statusPort));
  taken.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&taken), sizeof taken), 0);
  GameSim sim(dir.path(), {});
  ASSERT_TRUE(sim.WaitReady());
  const std::string answer = sim.Control("get statusport");
  ASSERT_EQ(answer.rfind("ok ", 0), 0u);
  const int port = std::stoi(answer.substr(3));
  EXPECT_TRUE((port >= 23000 && port <= 23009) || (port >= 22000 && port <= 22010)) << port;
  const auto status = QueryStatus(port, true, false, false);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->at("hostname"), "Test Server");
  close(holder);
}

TEST(GameSimStatus, EchoesTheRequestAndFillsTheSectionsAsked) {
  TempDir dir;
  const Install install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings",
                                      "game.serverPunkBuster 1\n", "admin.setNrOfRounds -1\n");
  GameSim sim(dir.path(), {"--bots", "1"});
  ASSERT_TRUE(sim.WaitReady());
  ASSERT_EQ(sim.Control("add Frank team=2 score=17 ping=85"), "ok 2");
  sim.Control("set 2 kills 5");
  sim.Control("set 2 deaths 3");

  const auto info = QueryStatus(install.statusPort, true, false, false);
  ASSERT_TRUE(info.has_value());
  for (const char* key :
       {"hostport",         "hostname",        "mapname",  "gametype",      "gamemode",
        "numplayers",       "maxplayers",      "gamever",  "sv_punkbuster", "timelimit",
        "number_of_rounds", "tickets1",        "tickets2", "game_id",       "Number Of Rounds",
        "Ticket Ratio",     "roundTimeRemain", "password", "tk_mode",       "content_check"}) {
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
  EXPECT_EQ(all->at("player_0"), "Bot1");
  EXPECT_EQ(all->at("player_1"), "Frank");
  EXPECT_EQ(all->at("team_1"), "2");
  EXPECT_EQ(all->at("score_1"), "17");
  EXPECT_EQ(all->at("kills_1"), "5");
  EXPECT_EQ(all->at("deaths_1"), "3");
  EXPECT_EQ(all->at("ping_1"), "85");
  EXPECT_EQ(all->at("keyhash_1").size(), 32u);
  EXPECT_EQ(all->at("team_t0"), "NVA");
  EXPECT_EQ(all->at("team_t1"), "USA");

  const auto players = QueryStatus(install.statusPort, false, true, true);
  ASSERT_TRUE(players.has_value());
  EXPECT_EQ(players->at("player_1"), "Frank");

  sim.Control("endround");
  EXPECT_EQ(QueryStatus(install.statusPort, true, false, false)->at("gamemode"), "end");
  sim.Control("pause on");
  EXPECT_EQ(QueryStatus(install.statusPort, true, false, false)->at("gamemode"), "end");
  sim.Control("nextround");
  EXPECT_EQ(QueryStatus(install.statusPort, true, false, false)->at("gamemode"), "pause");
}

TEST(GameSimStatus, RoundsEndAndTheNextBeginsOnTheirTimers) {
  TempDir dir;
  const Install install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings", "",
                                      "admin.timeLimit 1\nadmin.timeBeforeRestartMap 1\n"
                                      "admin.setNrOfRounds 1\n");
  GameSim sim(dir.path(), {});
  ASSERT_TRUE(sim.WaitReady());
  bool sawEnd = false;
  bool sawNextMap = false;
  for (int i = 0; i < 100 && !sawNextMap; ++i) {
    const auto status = QueryStatus(install.statusPort, true, false, false);
    ASSERT_TRUE(status.has_value());
    sawEnd = sawEnd || status->at("gamemode") == "end";
    sawNextMap = sawEnd && status->at("mapname") == "Ia Drang";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(sawEnd);
  EXPECT_TRUE(sawNextMap);
}

TEST(GameSimStatus, SameSeedGivesTheSameGame) {
  std::vector<std::string> runs[3];
  const char* seeds[3] = {"11", "11", "12"};
  for (int run = 0; run < 3; ++run) {
    TempDir dir;
    const Install install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings");
    GameSim sim(dir.path(), {"--seed", seeds[run], "--players", "4", "--bots", "2"});
    ASSERT_TRUE(sim.WaitReady());
    EXPECT_EQ(sim.Control("tick 30"), "ok");
    runs[run] = PlayerLines(install.consolePort);
    const auto status = QueryStatus(install.statusPort, true, true, false);
    ASSERT_TRUE(status.has_value());
    for (int i = 0; status->count("player_" + std::to_string(i)); ++i) {
      runs[run].push_back(status->at("player_" + std::to_string(i)) + " " +
                          status->at("score_" + std::to_string(i)));
    }
  }
  EXPECT_GT(runs[0].size(), 2u);
  EXPECT_EQ(runs[0], runs[1]);
  EXPECT_NE(runs[0], runs[2]);
  for (const std::string& line : runs[0]) {
    if (line.find("is remote") != std::string::npos) {
      EXPECT_TRUE(ParsePlayerLine(line).has_value()) << line;
    }
  }
}

}  // namespace
}  // namespace gamesim_test
