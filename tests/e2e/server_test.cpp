// Keldor supervising the simulated game server: -start, the console link and
// the status port, adopting a running server, -exit, -quit, a server that
// ignores "quit", the crash watch's auto-restart and scheduled events.
// Players in the game as Keldor sees them: chat with a banned word kicks the
// speaker, an in-game administrator changes the map and runs a menu entry on a
// player found by part of the name, a player without an account is told so;
// keldorctl lists the player table, and a player whose score falls too low is
// kicked and, on the next offence, banned, which a watching client sees. The
// round statistics never reach the accounts, through a link put in place of
// their file, with the line a player's name writes there. Which paths the
// statistics may name is in settings_apply_test.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

using std::string_literals::operator""s;

constexpr std::size_t npos = std::string::npos;

class Supervision : public InstalledServer {
 protected:
  // Starts Keldor with -start and waits until its console link is up.
  std::unique_ptr<Process> StartSupervised(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), "-start");
    auto keldor = Keldor(extra, "keldor.out");
    EXPECT_TRUE(WaitFor([&] { return Logged(" : Connected\r\n"); }, 40)) << Log();
    return keldor;
  }
};

// Something else answers nothing on the configured status port, so the game
// server moves to one of the usual ports and Keldor has to probe.
TEST_F(Supervision, StartLaunchesFindsAMovedStatusPortAndExitKillsAServerIgnoringQuit) {
  const std::string configured = InstallationFact(dir_.path(), "query-port");
  const int blocker = testing::BindLoopback(SOCK_DGRAM, std::stoi(configured));
  ASSERT_GE(blocker, 0);
  auto keldor = StartSupervised({"+simBots", "2", "-debug", "-exit"});
  const pid_t server = GamePid();
  ASSERT_TRUE(Alive(server));
  EXPECT_EQ(ReadFile("/proc/" + std::to_string(server) + "/cmdline"),
            dir_ / "bfv_linded" + "\0+statusMonitor\0000\0+simBots\0002\0"s);
  EXPECT_TRUE(Logged("Server started via command-line option."));
  // Keldor wrote the game's files before the launch.
  EXPECT_EQ(ReadFile(dir_ / "mods/bfvietnam/settings/maplist.con"),
            ReadFile(dir_ / "mods/bfvietnam/settings/servermaplist.con"));
  EXPECT_TRUE(WaitFor([&] { return Logged("DEBUG: Identified server status port ("); })) << Log();
  EXPECT_FALSE(Logged("DEBUG: Identified server status port (" + configured + ")"));
  close(blocker);

  // With -exit a server that ignores "quit" is killed.
  EXPECT_EQ(Sim("mute on"), "ok on");
  EXPECT_EQ(keldor->End(SIGTERM), 15);
  EXPECT_TRUE(Logged("Terminating server with extreme prejudice!"));
  EXPECT_TRUE(WaitFor([&] { return !Alive(server); }));
  // Outliving Keldor and adoption are shown below, -stop in operator_test.
}

TEST_F(Supervision, QuitEndsKeldorWhenItsServerEnds) {
  auto keldor = StartSupervised({"-quit"});
  EXPECT_EQ(Sim("crash 7"), "ok");
  EXPECT_EQ(keldor->Wait(), 255);
  EXPECT_TRUE(Logged("Server terminated with exit code 7."));
  EXPECT_TRUE(Logged("Exiting due to -quit."));
}

// Whether any process runs the installation's game server binary.
bool ServerBinaryRuns(const std::string& binary) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string cmdline = ReadFile(entry.path() / "cmdline");
    if (cmdline.compare(0, binary.size() + 1, binary + "\0"s) == 0) return true;
  }
  return false;
}

// A Keldor that cannot listen ends before it starts a game server, so no
// server is left running without anyone looking after it.
TEST_F(Supervision, APortClashStartsNoServer) {
  const int blocker = testing::BindLoopback(SOCK_STREAM, port_);
  ASSERT_EQ(listen(blocker, 1), 0);
  EXPECT_EQ(Keldor({"-start", "-exit"}, "keldor.out")->Wait(), 1);
  close(blocker);
  EXPECT_TRUE(Logged("Couldn't bind server socket")) << Log();
  EXPECT_FALSE(Logged("Server started via command-line option.")) << Log();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "bfvietnam.pid"));
  EXPECT_FALSE(ServerBinaryRuns(dir_ / "bfv_linded"));
}

TEST_F(Supervision, ACrashedServerIsRestarted) {
  // The crash watch runs every manager.monitorTimerPeriod seconds: the least is 10.
  std::ofstream(SettingsPath("servermanager.con"), std::ios::app)
      << "manager.monitorTimerPeriod 10\n";
  auto keldor = StartSupervised({"-restart", "-exit", "-status"});
  const pid_t first = GamePid();
  // Once Keldor has seen the server play the rotation's second map, a crash
  // restarts it on that map rather than at the start of the rotation.
  EXPECT_EQ(Sim("nextround"), "ok");
  ASSERT_TRUE(WaitFor([&] { return ReadFile(dir_ / "status.log").find("Khe Sanh") != npos; }));
  // Killed from outside: the exit code line stays and the signal is named.
  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(
      WaitFor([&] { return Logged("Auto-restart is enabled, restarting the server."); }, 40))
      << Log();
  EXPECT_TRUE(Logged("Server has crashed"));
  EXPECT_TRUE(Logged("Server terminated with exit code 9.\r\n"));
  EXPECT_TRUE(Logged("Server was killed by signal 9 (SIGKILL).\r\n"));
  ASSERT_TRUE(WaitFor([&] { return GamePid() != first && Alive(GamePid()); }));
  // With -exit the server is stopped through its console when Keldor ends.
  const pid_t second = GamePid();
  ASSERT_TRUE(WaitFor([&] { return CountLogged(" : Connected\r\n") == 2; }, 40)) << Log();
  EXPECT_EQ(Sim("get map"), "ok khe_sanh GPM_CQ bfvietnam");
  // The dead server's console is closed with the crash, not queried afterwards.
  EXPECT_FALSE(Logged("Couldn't get server status!")) << Log();
  EXPECT_EQ(keldor->End(SIGTERM), 15);
  EXPECT_FALSE(Alive(second));
  EXPECT_FALSE(Logged("Terminating server with extreme prejudice!"));
}

// A server Keldor adopted is no child of it: its end is seen through a pidfd,
// not at the crash watch's next pass a minute later.
TEST_F(Supervision, AnAdoptedServerThatCrashesIsRestartedAtOnce) {
  const long probe = syscall(SYS_pidfd_open, getpid(), 0);
  if (probe < 0) GTEST_SKIP() << "no pidfd_open on this kernel";
  close(static_cast<int>(probe));
  std::ofstream(SettingsPath("servermanager.con"), std::ios::app)
      << "manager.monitorTimerPeriod 60\n";
  auto first = StartSupervised();
  EXPECT_EQ(first->End(SIGTERM), 15);
  const pid_t adopted = GamePid();
  auto keldor = Keldor({"-restart", "-exit"}, "second.out");
  ASSERT_TRUE(WaitFor([&] { return CountLogged(" : Connected\r\n") == 2; }, 40)) << Log();
  EXPECT_EQ(Sim("crash 3"), "ok");
  ASSERT_TRUE(
      WaitFor([&] { return Logged("Auto-restart is enabled, restarting the server."); }, 30))
      << Log();
  ASSERT_TRUE(WaitFor([&] { return GamePid() != adopted && Alive(GamePid()); }));
  EXPECT_EQ(keldor->End(SIGTERM), 15);
}

// A scheduled restart with its own settings and rotation, then a stop that
// waits for the end of the round and is said in the game. The crash watch
// passes at once and every 10 s: the restart falls due at the second pass and
// the stop one pass later. When each warning comes is pinned in the schedule's
// unit tests.
TEST_F(Supervision, ScheduledEventsRestartWithTheirFilesAndStopAtTheRoundEnd) {
  const std::string settings = dir_ / "mods/bfvietnam/settings/";
  std::string night = ReadFile(settings + "servermanager.con");
  night.replace(night.find("Keldor Test Server"), 18, "Night Server");
  WriteFile(settings + "night.con", night);
  WriteFile(settings + "nightmaps.con", "game.setCurrentLevel khe_sanh GPM_CQ bfvietnam\n");
  std::ofstream(settings + "servermanager.con", std::ios::app) << "manager.monitorTimerPeriod 10\n";
  const long restart = static_cast<long>(std::time(nullptr)) + 8;
  WriteFile(settings + "serverschedule.con",
            std::to_string(restart) + ",start,none,night.con,nightmaps.con,1\n" +
                std::to_string(restart + 10) + ",stop wait,none,*,*,1\n");
  auto keldor = StartSupervised({"-exit"});
  const pid_t first = GamePid();
  ASSERT_TRUE(WaitFor([&] { return Logged("Restarting server per scheduled event."); }, 40));
  ASSERT_TRUE(WaitFor([&] { return CountLogged(" : Connected\r\n") == 2; }, 40)) << Log();
  EXPECT_NE(GamePid(), first);
  EXPECT_EQ(Sim("get game.serverName"), "ok Night Server");
  EXPECT_EQ(Sim("get map"), "ok khe_sanh GPM_CQ bfvietnam");

  ASSERT_TRUE(WaitFor([&] {
    return Logged(
        "User operator at console said '[KELDOR] Server is scheduled to stop at the end of this "
        "game!'");
  })) << Log();
  EXPECT_FALSE(Logged("Stopping server per scheduled event."));
  EXPECT_EQ(Sim("endround"), "ok");
  ASSERT_TRUE(WaitFor([&] { return Logged("Stopping server per scheduled event."); }, 20));
  EXPECT_TRUE(WaitFor([&] { return !Alive(GamePid()); }));
  EXPECT_FALSE(Logged("stop in one minute"));  // a waiting event is not warned about
}

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

  EXPECT_EQ(watch->End(SIGINT), 0);
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
  watch->End(SIGINT);
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
