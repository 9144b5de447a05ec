// Players in the simulated game as Keldor sees them: chat with a banned word
// kicks the speaker, an in-game administrator changes the map and runs a menu
// entry on a player found by part of the name, a player without an account is
// told so; keldorctl lists the player table, and a player whose score falls too
// low is kicked and, on the next offence, banned, which a watching client sees.
// The round statistics never reach the accounts, through a link put in place
// of their file, with the line a player's name writes there. Which paths the
// statistics may name is in settings_apply_test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kMapsAndPlayers = 0x40 | 0x80;
const std::string kHash = "00112233445566778899aabbccddeeff";  // the hash Account() writes

class InGame : public KeldorHarness {
 protected:
  void SetUp() override {
    StartKeldor(Account("gunner", "pw", kMapsAndPlayers) + Account("op", "pw", 0xFFFFFFFF),
                "--server-binary " + BinaryPath("gamesim"), {"-start", "-nodelay", "-message"},
                "manager.autoKickScore 1\nmanager.autoKickScoreValue -6\nmanager.autoBan 1\n"
                "manager.autoBanValue 2\nmanager.monitorTimerPeriod 10\n");
    // Read anew for every command: no restart needed.
    WriteFile(SettingsPath("playermenu.con"), "Kick|kick\nSlap \"Teamkilling\" [tk]|kick\n");
    ASSERT_TRUE(WaitFor([&] { return Logged(" : Connected\r\n"); }, 40)) << Log();
  }
  std::string AddPlayer(const std::string& args) { return Sim("add " + args).substr(3); }
  bool Present(const std::string& name) {
    return Sim("players").find(":" + name) != std::string::npos;
  }
};

TEST_F(InGame, ChatKicksForBannedWordsAndRunsInGameCommands) {
  auto watch = Ctl({"--user", "op", "--password", "pw", "watch"});
  ASSERT_TRUE(WaitFor([&] { return Logged("connected as user op"); }));
  const std::string gunner = AddPlayer("Gunner keyhash=" + kHash);
  const std::string loud = AddPlayer("Loudmouth");
  AddPlayer("Victim");
  // A name that begins with an administrator's name and ": " speaks for itself.
  const std::string mimic = AddPlayer("\"Gunner: !restart now\"");
  // A player list download rebuilds the table with the newcomers.
  ASSERT_EQ(RunAs("op", "pw", {"get", "players", dir_ / "players.csv"}).first, 0);

  Sim("chat " + gunner + " !change khe_sanh");
  Sim("chat " + gunner + " !setnext khe_sahn");  // a typo: answered, never sent to the game
  Sim("chat " + gunner + " !tk @VICT");
  Sim("chat " + loud + " !restart");
  Sim("chat " + mimic + " !restart");
  ASSERT_TRUE(WaitFor([&] { return !Present("Victim"); }, 30)) << Log();
  // The lines may reach Keldor in separate reads, and each is logged when
  // the game has answered it: the kick can be seen before the refusal is logged.
  for (const char* line :
       {"kicked player Victim (", "Victim was killed by an admin",
        "User gunner at game changed the map to khe_sanh GPM_CQ bfvietnam.",
        "[KELDOR] !setnext refused: the map khe_sahn is not installed in bfvietnam",
        "said '[KELDOR] Player Loudmouth cannot use in-game admin commands!'.",
        "Player Gunner: !restart now cannot use in-game admin commands!'."})
    EXPECT_TRUE(WaitFor([&] { return Logged(line); })) << line;
  EXPECT_FALSE(Logged("restarted the current map")) << Log();
  EXPECT_FALSE(Logged("changed the next map"));

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

TEST_F(InGame, TheTableIsListedAndMinusScoresAreKickedThenBannedAsWatchersSee) {
  const std::string alice = Sim("add Alice team=2 score=3 ping=40 ip=10.1.2.3 keyhash=none");
  ASSERT_EQ(alice.rfind("ok ", 0), 0u) << alice;
  ASSERT_EQ(Sim("bot Robo").rfind("ok ", 0), 0u);
  const auto [status, listed] = RunAs("op", "pw", {"players"});
  EXPECT_EQ(status, 0) << listed;
  EXPECT_TRUE(std::regex_search(
      listed, std::regex("(^|\n)\"Alice\"," + alice.substr(3) +
                         ",usa,3,[0-9]+,[0-9]+,40,10\\.1\\.2\\.3,\\[unknown\\],\\[unknown\\]\n")))
      << listed;
  EXPECT_EQ(listed.find("Robo"), std::string::npos) << listed;

  const int logins = CountLogged("connected as user op");
  auto watch = Ctl({"--user", "op", "--password", "pw", "watch"});
  ASSERT_TRUE(WaitFor([&] { return CountLogged("connected as user op") > logins; })) << Log();
  const std::string hash(32, 'B');
  const std::string bob = "add Bob team=1 score=-7 ip=10.9.9.9 keyhash=" + hash;
  ASSERT_EQ(Sim(bob).rfind("ok ", 0), 0u);
  ASSERT_TRUE(WaitFor([&] { return Sim("players").find("Bob") == std::string::npos; }, 40))
      << Log();
  EXPECT_EQ(ReadFile(SettingsPath("kicklist.con")), "10.9.9.9\n");
  ASSERT_EQ(Sim(bob).rfind("ok ", 0), 0u);  // back for a second offence: banned
  ASSERT_TRUE(
      WaitFor([&] { return watch->Output().find("NOTE_BANS_CHANGED") != std::string::npos; }, 40))
      << watch->Output() << Log();
  watch->Signal(SIGINT);
  watch->Wait();
  const std::string seen = watch->Output();
  EXPECT_TRUE(std::regex_search(seen, std::regex(" NOTE_AUTO_KICK_SCORE Bob\n"))) << seen;
  EXPECT_TRUE(std::regex_search(seen, std::regex(" NOTE_AUTO_BAN_SCORE Bob\n"))) << seen;
  EXPECT_EQ(Sim("get lastmessage"), "ok [KELDOR] Banned Bob for too many minus-score kicks");
  EXPECT_TRUE(Logged("Auto-kicked Bob (" + hash + ") at 10.9.9.9 for minus-score (-7)."));
  const std::string record =
      "^\"Bob\",10\\.9\\.9\\.9," + hash + ",\\[unknown\\],\"auto\",[0-9]+,[^,]+,";
  const std::string adminLog = ReadFile(dir_ / "adminlog.csv");
  EXPECT_TRUE(std::regex_search(adminLog, std::regex(record + "kick,0,minus-score\n" +
                                                     record.substr(1) + "ban,0,minus-score\n")))
      << adminLog;
}

TEST_F(InGame, TheStatisticsLogNeverReachesTheAccounts) {
  const std::string accounts = SettingsPath("useraccess.con");
  const std::string stored = ReadFile(accounts);
  const std::string forged = "pwn,pw,,4294967295,1";  // a player name that reads as an account
  // A file of our own is taken; a link put in its place afterwards is refused
  // when the file is opened, and the round is written once it is gone.
  WriteFile(dir_ / "upload.con",
            "manager.statFilePath \"rounds.csv\"\nmanager.statCollection 1\n"
            "admin.enableRemoteAdmin AdminPw7\n");
  ASSERT_EQ(RunAs("op", "pw", {"put", "settings", dir_ / "upload.con"}).first, 0);
  ASSERT_EQ(symlink(accounts.c_str(), (dir_ / "rounds.csv").c_str()), 0);
  ASSERT_EQ(Sim("add " + forged + " team=1 score=4").rfind("ok ", 0), 0u);
  ASSERT_EQ(Sim("endround"), "ok");
  ASSERT_TRUE(WaitFor([&] { return Logged("Couldn't log player stats to CSV file!"); }, 30))
      << Log();
  EXPECT_EQ(ReadFile(accounts), stored);
  ASSERT_EQ(unlink((dir_ / "rounds.csv").c_str()), 0);
  ASSERT_TRUE(WaitFor([&] { return Logged("Player stats logged to CSV file."); }, 30)) << Log();
  EXPECT_NE(ReadFile(dir_ / "rounds.csv").find("\n\"" + forged + "\","), std::string::npos)
      << ReadFile(dir_ / "rounds.csv");
  EXPECT_EQ(ReadFile(accounts), stored);

  // The remote admin password pushed to the game stays out of the message log.
  const std::string messages = ReadFile(dir_ / "message.log");
  EXPECT_NE(messages.find("admin.enableRemoteAdmin *"), std::string::npos) << messages;
  EXPECT_EQ(messages.find("AdminPw7"), std::string::npos);
}

}  // namespace
}  // namespace keldor::e2e
