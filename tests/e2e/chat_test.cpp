// Chat from the simulated game reaching Keldor: a banned word kicks the
// speaker, an in-game administrator changes the map and runs a menu entry on a
// player found by part of the name, and a player without an account is told so.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kMapsAndPlayers = 0x40 | 0x80;
const std::string kHash = "00112233445566778899aabbccddeeff";  // the hash Account() writes

class GameChat : public KeldorHarness {
 protected:
  void SetUp() override {
    StartKeldor(Account("gunner", "pw", kMapsAndPlayers) + Account("op", "pw", 0xFFFFFFFF),
                "--server-binary " + BinaryPath("gamesim"), {"-start", "-nodelay"});
    // Read anew for every command: no restart needed.
    WriteFile(SettingsPath("playermenu.con"), "Kick|kick\nSlap \"Teamkilling\" [tk]|kick\n");
    ASSERT_TRUE(WaitFor([&] { return Logged(" : Connected\r\n"); }, 40)) << Log();
  }
  std::string AddPlayer(const std::string& args) { return Sim("add " + args).substr(3); }
  bool Present(const std::string& name) {
    return Sim("players").find(":" + name) != std::string::npos;
  }
};

TEST_F(GameChat, ChatKicksForBannedWordsAndRunsInGameCommands) {
  auto watch = Ctl({"--user", "op", "--password", "pw", "watch"});
  ASSERT_TRUE(WaitFor([&] { return Logged("connected as user op"); }));
  const std::string gunner = AddPlayer("Gunner keyhash=" + kHash);
  const std::string loud = AddPlayer("Loudmouth");
  AddPlayer("Victim");
  // A player list download rebuilds the table with the newcomers.
  ASSERT_EQ(RunAs("op", "pw", {"get", "players", dir_ / "players.csv"}).first, 0);

  Sim("chat " + gunner + " !change khe_sanh");
  Sim("chat " + gunner + " !tk @VICT");
  Sim("chat " + loud + " !restart");
  ASSERT_TRUE(WaitFor([&] { return !Present("Victim"); }, 30)) << Log();
  EXPECT_TRUE(WaitFor([&] { return Logged("kicked player Victim ("); }));
  EXPECT_TRUE(Logged("Victim was killed by an admin"));
  EXPECT_TRUE(Logged("User gunner at game changed the map to khe_sanh GPM_CQ bfvietnam."));
  EXPECT_TRUE(Logged("said '[KELDOR] Player Loudmouth cannot use in-game admin commands!'."));

  // A banned word: the speaker goes, and the command in the same line is not run.
  Sim("chat " + loud + " !restart noob");
  ASSERT_TRUE(WaitFor([&] { return !Present("Loudmouth"); }, 30)) << Log();
  EXPECT_TRUE(Logged("Auto-kicked Loudmouth ("));
  EXPECT_EQ(CountLogged("Player Loudmouth cannot use in-game admin commands!'."), 1);
  EXPECT_TRUE(Present("Gunner"));
  const std::string adminLog = ReadFile(dir_ / "adminlog.csv");
  const auto record = adminLog.find("\"Loudmouth\",");
  ASSERT_NE(record, std::string::npos) << adminLog;
  EXPECT_NE(adminLog.find(",\"auto\",", record), std::string::npos) << adminLog;
  EXPECT_NE(adminLog.find(",kick,0,banned word in chat message\n", record), std::string::npos)
      << adminLog;

  watch->Signal(SIGINT);
  EXPECT_EQ(watch->Wait(), 0);
  const std::string seen = watch->Output();
  EXPECT_NE(seen.find("NOTE_AUTO_KICK_WORD Loudmouth"), std::string::npos) << seen;
  EXPECT_NE(seen.find("NOTE_MAP_CHANGED khe_sanh GPM_CQ bfvietnam"), std::string::npos) << seen;
}

}  // namespace
}  // namespace keldor::e2e
