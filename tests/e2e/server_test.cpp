// Keldor supervising the simulated game server: -start, the console link and
// the status port, adopting a running server, -exit, -quit, a server that
// ignores "quit", the crash watch's auto-restart and scheduled events.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
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
  keldor->Signal(SIGTERM);
  EXPECT_EQ(keldor->Wait(), 15);
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
  keldor->Signal(SIGTERM);
  EXPECT_EQ(keldor->Wait(), 15);
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
  first->Signal(SIGTERM);
  EXPECT_EQ(first->Wait(), 15);
  const pid_t adopted = GamePid();
  auto keldor = Keldor({"-restart", "-exit"}, "second.out");
  ASSERT_TRUE(WaitFor([&] { return CountLogged(" : Connected\r\n") == 2; }, 40)) << Log();
  EXPECT_EQ(Sim("crash 3"), "ok");
  ASSERT_TRUE(
      WaitFor([&] { return Logged("Auto-restart is enabled, restarting the server."); }, 30))
      << Log();
  ASSERT_TRUE(WaitFor([&] { return GamePid() != adopted && Alive(GamePid()); }));
  keldor->Signal(SIGTERM);
  EXPECT_EQ(keldor->Wait(), 15);
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

}  // namespace
}  // namespace keldor::e2e
