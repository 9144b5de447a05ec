// gamesim's remote console: settings, player list, events, output, bans, and
// refusal of input beyond its bounds. Login, maps, pause, messages and the
// mute switch are exercised through keldor in the other end-to-end tests.
#include <gtest/gtest.h>

#include "gamesim_harness.h"

namespace gamesim_test {
namespace {

class GameSimConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings",
                          "game.serverPunkBuster 1\n");
    sim = std::make_unique<GameSim>(dir.path(), std::vector<std::string>{"+statusMonitor", "1"});
    ASSERT_TRUE(sim->WaitReady());
    ASSERT_TRUE(console.Connect(install.consolePort));
    ASSERT_EQ(console.Login("User", "Secret"), 1);
  }

  // The reply without its event lines, as the administrator collects it.
  std::vector<std::string> Run(const std::string& text) {
    std::vector<std::string> kept;
    for (const std::string& line : RunRaw(text)) {
      if (line.rfind("##", 0) != 0) kept.push_back(line);
    }
    return kept;
  }

  std::vector<std::string> RunRaw(const std::string& text) {
    auto reply = console.Command(text);
    EXPECT_TRUE(reply.has_value()) << text;
    return reply.value_or(std::vector<std::string>{});
  }

  TempDir dir;
  Install install;
  std::unique_ptr<GameSim> sim;
  Console console;
};

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

TEST_F(GameSimConsole, ListsPlayersWithTheMarkersTheAdministratorReads) {
  const std::string keyhash = "0123456789abcdef0123456789ABCDEF";
  ASSERT_EQ(sim->Control("add \"Big Al\" ip=10.1.2.3 keyhash=" + keyhash), "ok 1");
  ASSERT_EQ(sim->Control("bot Robo"), "ok 2");
  ASSERT_EQ(sim->Control("add Zed"), "ok 3");
  const auto lines = Run("game.listPlayers");
  ASSERT_EQ(lines.size(), 3u);
  const auto first = ParsePlayerLine(lines[0]);
  ASSERT_TRUE(first.has_value()) << lines[0];
  EXPECT_EQ(first->id, 1);
  EXPECT_EQ(first->name, "Big Al");
  EXPECT_EQ(first->ip, "10.1.2.3");
  EXPECT_EQ(first->keyhash, keyhash);
  EXPECT_NE(lines[1].find("is an AI bot"), std::string::npos);
  const auto third = ParsePlayerLine(lines[2]);
  ASSERT_TRUE(third.has_value()) << lines[2];
  EXPECT_EQ(third->name, "Zed");
  EXPECT_EQ(third->keyhash.size(), 32u);

  // Names the list could not carry are refused.
  EXPECT_EQ(sim->Control("add \"X is remote Y\"").rfind("error", 0), 0u);
  EXPECT_EQ(sim->Control("add ThisNameIsMuchTooLongForTheGameToKeep").rfind("error", 0), 0u);

  Run("admin.kickPlayer 1");
  const auto after = Run("game.listPlayers");
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(ParsePlayerLine(after[1])->name, "Zed");
}

TEST_F(GameSimConsole, DeliversEventLinesOnceWithTheNextReply) {
  ASSERT_EQ(sim->Control("add Alice"), "ok 1");
  EXPECT_EQ(RunRaw("admin.timeLimit"),
            (std::vector<std::string>{"1200", "##-- [Game] Alice joined the game"}));
  ASSERT_EQ(sim->Control("chat 1 !kick Bob now"), "ok");
  // The daemon drops five characters and reads "prefix name: message".
  EXPECT_EQ(RunRaw("admin.timeLimit"),
            (std::vector<std::string>{"1200", "##-- [All] Alice: !kick Bob now"}));
  EXPECT_EQ(RunRaw("admin.timeLimit").size(), 1u);

  ASSERT_EQ(sim->Control("event Something happened"), "ok");
  const auto output = console.Output();
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->back(), "##-- Something happened");
}

TEST_F(GameSimConsole, PrintsPunkBusterListAndVersionAsConsoleOutput) {
  const std::string guid = "fedcba9876543210fedcba9876543210";
  ASSERT_EQ(sim->Control("add Carol guid=" + guid), "ok 1");
  Run("admin.timeLimit");  // takes the join event
  EXPECT_TRUE(Run("pb_sv_plist").empty());
  const auto output = console.Output();
  ASSERT_TRUE(output.has_value());
  bool found = false;
  for (std::size_t i = 1; i < output->size(); ++i) {
    const std::string& line = (*output)[i];
    const auto marker = line.find(" (W) ");
    if (marker == std::string::npos) continue;
    EXPECT_EQ(line.substr(marker + 5), "Carol");
    const auto colon = line.find(':');
    EXPECT_EQ(line.substr(colon + 5, line.find('(', colon) - colon - 5), guid);
    found = true;
  }
  EXPECT_TRUE(found);

  Run("pb_sv_ver");
  const auto version = console.Output();
  ASSERT_TRUE(version.has_value());
  ASSERT_GE(version->size(), 2u);
  const std::string& text = (*version)[1];
  EXPECT_LT(text.find('('), text.find(')'));
}

TEST_F(GameSimConsole, KeepsBanListFilesInStepWithItsLists) {
  ASSERT_EQ(sim->Control("add Dave ip=10.9.8.7"), "ok 1");
  ASSERT_EQ(sim->Control("add Eve keyhash=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"), "ok 2");
  Run("admin.banPlayer 1\nadmin.banPlayerKey 2\nadmin.addAddressToBanList 192.168.0.9");
  const std::string banlist = ReadFile(install.settingsDir + "/banlist.con");
  EXPECT_NE(banlist.find("admin.addAddressToBanList 10.9.8.7:0 Perm\n"), std::string::npos);
  EXPECT_NE(banlist.find("admin.addAddressToBanList 192.168.0.9:0 Perm\n"), std::string::npos);
  EXPECT_NE(banlist.find("admin.addKeyToBanList aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa Perm\n"),
            std::string::npos);
  EXPECT_TRUE(Run("game.listPlayers").empty());  // banned players are gone
  EXPECT_EQ(sim->Control("add Dave2 ip=10.9.8.7"), "error the player is banned");

  Run("admin.removeAddressFromBanList 10.9.8.7");
  EXPECT_EQ(ReadFile(install.settingsDir + "/banlist.con").find("10.9.8.7"), std::string::npos);
  EXPECT_EQ(Run("admin.listBannedAddresses"), (std::vector<std::string>{"192.168.0.9:0 Perm"}));

  const std::string guid = "0000000000000000000000000000beef";
  ASSERT_EQ(sim->Control("add Gus guid=" + guid), "ok 3");
  Run("pb_sv_banguid " + guid);
  EXPECT_NE(ReadFile(dir.path() + "/pb/pbbans.dat").find(guid), std::string::npos);
  EXPECT_EQ(sim->Control("players"), "ok 0");
  Run("pb_sv_unbanguid beef");  // only a whole GUID lifts a ban
  EXPECT_NE(ReadFile(dir.path() + "/pb/pbbans.dat").find(guid), std::string::npos);
  Run("pb_sv_unbanguid " + guid);
  EXPECT_EQ(ReadFile(dir.path() + "/pb/pbbans.dat").find(guid), std::string::npos);

  Run("admin.clearBanList");
  EXPECT_EQ(ReadFile(install.settingsDir + "/banlist.con"), "");
}

TEST_F(GameSimConsole, ClosesConnectionsThatSendMoreThanItsBoundsAndStaysUp) {
  Console huge;
  ASSERT_TRUE(huge.Connect(install.consolePort));
  ASSERT_EQ(huge.Login("User", "Secret"), 1);
  huge.SendRaw({0xFF, 0xFF, 0xFF, 0xFF});  // four billion strings
  EXPECT_TRUE(huge.PeerClosed());

  Console longString;
  ASSERT_TRUE(longString.Connect(install.consolePort));
  ASSERT_EQ(longString.Login("User", "Secret"), 1);
  longString.SendRaw({1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F});
  EXPECT_TRUE(longString.PeerClosed());

  Console longName;
  ASSERT_TRUE(longName.Connect(install.consolePort));
  longName.SendRaw({0x00, 0x00, 0x00, 0x10});
  EXPECT_TRUE(longName.PeerClosed());

  Console unterminated;
  ASSERT_TRUE(unterminated.Connect(install.consolePort));
  ASSERT_EQ(unterminated.Login("User", "Secret"), 1);
  unterminated.SendRaw({1, 0, 0, 0, 2, 0, 0, 0, 'a', 'b'});
  EXPECT_TRUE(unterminated.PeerClosed());

  EXPECT_EQ(Run("admin.timeLimit"), (std::vector<std::string>{"1200"}));
}

}  // namespace
}  // namespace gamesim_test
