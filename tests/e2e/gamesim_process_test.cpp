// gamesim as a process and its status query: command line, crash status, the
// sections of a status reply, and reproducible games. Its pid file, quit,
// crashes, probed status port, pause and map changes are exercised through
// keldor in server_test and dispatch_server_test.
#include <gtest/gtest.h>

#include "gamesim_harness.h"

namespace gamesim_test {
namespace {

std::vector<std::string> PlayerLines(int consolePort) {
  Console console;
  if (!console.Connect(consolePort) || console.Login("User", "Secret") != 1) return {};
  return console.Command("game.listPlayers").value_or(std::vector<std::string>{});
}

TEST(GameSimProcess, RefusesArgumentsItCannotTake) {
  TempDir dir;
  GameSim bad(dir.path(), {"--seed", "many"});
  EXPECT_EQ(bad.WaitExit(), 2);
  GameSim missing(dir.path(), {"+statusMonitor"});
  EXPECT_EQ(missing.WaitExit(), 2);
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
