// The player table: the join of the console list with the status reply, its
// limits and parse errors, the lookups, smart balance and PunkBuster GUIDs.
#include "gamelink/player_table.h"

#include <gtest/gtest.h>

#include "fake_game.h"

namespace keldor {
namespace {

using testing::SimPlayer;

class PlayerTableTest : public testing::GameTest {};

TEST_F(PlayerTableTest, JoinsListAndStatusByNameWithBotsAndMissingFields) {
  SimPlayer ann{3, "Ann", 2, 5};
  SimPlayer bob{7, "Bob \"B\" Smith", 1, -3};
  bob.hash.clear();
  SimPlayer cid{9, "Cid", 1, 40};
  cid.inStatus = false;
  SimPlayer bot{11, "Bot", 1, 99};  // a status position but no console line
  bot.listed = false;
  SetGame({ann, bot, bob, cid}, {}, {"Id:12 - Robo is an AI bot"});
  ASSERT_TRUE(GetPlayerList());
  ASSERT_EQ(PlayerCount(), 3u);
  EXPECT_EQ(TeamSizesText(), "1 / 1 / 3");
  EXPECT_EQ(TeamScoresText(), "5 / -3 / 2");
  EXPECT_EQ(PlayerKeyhashById(7), "[unknown]");
  EXPECT_EQ(PlayerAddressById(3), "10.0.0.3");
  EXPECT_EQ(PlayerGuidById(3), "[unknown]");
  EXPECT_EQ(PlayerNameById(11), "[unknown]");
  EXPECT_EQ(PlayerGuidById(9), "");

  const std::string path = dir_ / "playerlist.con";
  ASSERT_TRUE(WritePlayerListFile(path));
  EXPECT_EQ(testing::ReadFile(path),
            "\"Ann\",3,usa,5,3,4,50,10.0.0.3,0123456789ABCDEF0123456789ABCDEF,[unknown]\n"
            "\"Bob \"B\" Smith\",7,nva,-3,3,4,50,10.0.0.7,[unknown],[unknown]\n"
            "\"Cid\",9,*,*,*,*,*,10.0.0.9,0123456789ABCDEF0123456789ABCDEF,*\n");

  // Lookups by part of a name, in any case: one match only.
  EXPECT_EQ(FindPlayerByName("smi"), 7);
  EXPECT_EQ(FindPlayerByName("i"), -1);  // Smith and Cid
  EXPECT_EQ(FindPlayerByName("zed"), -1);
  EXPECT_TRUE(RemovePlayerById(3));
  EXPECT_FALSE(RemovePlayerById(3));
  EXPECT_EQ(Players().records[0].id, 7);
  EXPECT_EQ(Players().records[1].id, 9);
  EXPECT_TRUE(Players().records[2].name.empty());

  // Only bots: an empty table, and zero counts.
  SetGame({bot}, {}, {"Id:12 - Robo is an AI bot"});
  ASSERT_TRUE(GetPlayerList());
  EXPECT_EQ(PlayerCount(), 0u);
  EXPECT_EQ(TeamSizesText(), "0 / 0 / 0");

  // The link closing empties the table.
  SetGame({ann});
  ASSERT_TRUE(GetPlayerList());
  DisconnectConsole();
  EXPECT_EQ(PlayerCount(), 0u);
  EXPECT_FALSE(GetPlayerList());
}

TEST_F(PlayerTableTest, ParseErrorsAndTheSixtyFourthPlace) {
  Logging().debug = true;
  SetGame({{1, "Ann"}}, {},
          {"Id:2 - Local is local ip: 1.2.3.4:5", "Id:3 - Later is remote ip: 1.2.3.4:5"});
  EXPECT_FALSE(GetPlayerList());
  EXPECT_TRUE(Logged("DEBUG: Couldn't get player list! Parse error."));
  EXPECT_EQ(PlayerCount(), 1u);  // what was parsed stays

  // Lines that end early or carry an empty name are parse errors, never a crash
  // or a record that would end the table.
  for (const char* line :
       {"Id:", "Id:4", "Id:4 - ", "Id:4 -  is remote ip: 1.2.3.4:5", "Id:4 - X is remote",
        "Id:4 - X is remote ip:", "Id:4 - X is remote ip: 1"}) {
    SetGame({}, {}, {line});
    EXPECT_FALSE(GetPlayerList()) << line;
    EXPECT_EQ(PlayerCount(), 0u) << line;
  }

  std::vector<SimPlayer> many;
  for (int id = 0; id < 70; ++id) many.push_back({id, "P" + std::to_string(id), 1 + id % 2, id});
  SetGame(many);
  ASSERT_TRUE(GetPlayerList());
  EXPECT_EQ(PlayerCount(), kMaxPlayers);
  EXPECT_EQ(Players().records[63].name, "P63");
  EXPECT_EQ(Players().records[63].score, "63");
  EXPECT_EQ(TeamSizesText(), "32 / 32 / 64");
}

TEST_F(PlayerTableTest, SmartBalanceEngagesAndDisengagesOnce) {
  Row(Setting::SmartBalance).current = 1;
  Row(Setting::SmartBalanceValue).current = 3;
  auto teams = [](int usa, int nva) {
    std::vector<SimPlayer> players;
    for (int i = 0; i < usa + nva; ++i)
      players.push_back({i, "P" + std::to_string(i), i < usa ? 2 : 1});
    return players;
  };
  struct Step {
    int usa, nva;
    std::vector<std::string> commands;
  } steps[] = {
      {9, 7, {}},
      {10,
       7,
       {"admin.autoBalanceTeam 1",
        "admin.serverMessage \"[KELDOR] Teams are unbalanced, engaging auto-team-balance\""}},
      {7, 10, {}},
      {9, 7, {}},
      {9,
       8,
       {"admin.autoBalanceTeam 0",
        "admin.serverMessage \"[KELDOR] Teams are balanced, disengaging auto-team-balance\""}},
      {9, 8, {}},
  };
  for (const Step& step : steps) {
    SetGame(teams(step.usa, step.nva));
    EXPECT_EQ(CommandsOf(GetPlayerList), step.commands) << step.usa << " v " << step.nva;
  }
  EXPECT_EQ(CountLogged("unbalanced, engaging auto-team-balance."), 1);
}

TEST_F(PlayerTableTest, PunkBusterGuidsByNameInAnyCase) {
  GameServer().punkBusterRunning = true;
  Row(Setting::BanInBFandPB).current = 1;
  Logging().debug = true;
  SetGame({{1, "Ann"}, {2, "Bob"}});
  SetOutput({"PunkBuster Server: Player List: [Slot #] [GUID] [Address] [Status] [Power] [Name]",
             "PunkBuster Server: 1  00112233445566778899aabbccddeeff(-) 10.0.0.1:2000 OK   1 "
             "0.0 0 (W) ann",
             "PunkBuster Server: 2  nocolonbeforethis (W) Ghost"});
  ASSERT_TRUE(GetPlayerList());
  EXPECT_EQ(PlayerGuidById(1), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(PlayerGuidById(2), "[unknown]");
  EXPECT_TRUE(Logged("Couldn't parse GUID for player Ghost!"));
}

}  // namespace
}  // namespace keldor
