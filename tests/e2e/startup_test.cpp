// The real daemon: command-line exits, start-up on a fresh installation,
// listening, signals, -pid/-kill, -daemon and fatal start-up failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

const char* const kUsage =
    "\n"
    "\n"
    "Usage: keldor [-path <path>] [-ip <ip>] [-port <port>] [-pid <path>] [-daemon] [-start] "
    "[-stop]\n"
    "       [-restart] [-priority <#>] [-syslog <#>] [-quit] [-noadmin] [-nodelay] [-license]\n"
    "       [-reuseaddr] [-exit] [-kill] [-logkeep <#>] [-debug] [-status] [-message]\n"
    "       [--version] [--help] [+server args] [@server cmds]\n"
    "\n"
    "where\t-path <path>\tis the /path/to/server/directory (no trailing slash)\n"
    "     \t-ip <ip>\tsets the server and keldor TCP/IP address (cannot be 0.0.0.0)\n"
    "     \t-port <port>\tsets the TCP port address of the keldor listen server (default 15667)\n"
    "     \t-pid <path>\tcreates /path/to/pid/filename containing the keldor instance pid\n"
    "     \t-daemon\t\tdaemonizes the keldor process\n"
    "     \t-start\t\tstarts the server when keldor starts\n"
    "     \t-stop\t\tstops the server when keldor starts\n"
    "     \t-restart\trestarts the server process automatically after a crash\n"
    "     \t-priority <#>\twill renice the server to the given priority\n"
    "     \t-syslog <#>\tlogs to specified syslog local facility 0-7 instead of keldor.log\n"
    "     \t-logkeep <#>\tkeeps the newest <#> rotated logs, 0 keeps all (default 60)\n"
    "     \t-reuseaddr\tbinds the listen socket while old connections linger (always on)\n"
    "     \t-exit\t\tstops the server when keldor exits\n"
    "     \t-quit\t\tterminates keldor when the server process terminates unexpectedly\n"
    "     \t-kill\t\tterminates the instance of keldor referenced by the pid file given with "
    "-pid\n"
    "     \t-noadmin\tsends admin messages as gray chat messages instead of yellow server "
    "messages\n"
    "     \t-nodelay\tkicks/bans players without a delay\n"
    "     \t-license\tdisplays software license agreement\n"
    "     \t-debug\t\tlogs debugging messages (lines beginning DEBUG:)\n"
    "     \t-status\t\tappends each status query reply to status.log\n"
    "     \t-message\tappends each console request and response to message.log\n"
    "     \t--version\tprints the version and exits\n"
    "     \t--help, -h, -?\tprints this text and exits\n"
    "     \t[+server args]\twill be passed to the server process e.g. +game BF1942\n"
    "     \t[@server cmds]\twill be appended to serversettings.con e.g. @game.gameSpyPort 23000\n"
    "\n";

class Daemon : public LogDirTest {
 protected:
  void SetUp() override { MakeInstallation(dir_.path()); }

  std::unique_ptr<Process> Run(std::vector<std::string> args) {
    return std::make_unique<Process>(BinaryPath("keldor"), args, dir_.path(), dir_ / "stdout");
  }
  ReservedPort reserved_;
  int port_ = reserved_.port();
};

TEST_F(Daemon, UsageAndVersionEndAtOnce) {
  auto usage = Run({"-?", "-port"});
  EXPECT_EQ(usage->Wait(), 0);
  EXPECT_EQ(usage->Output(), kUsage);
  // The usual help words end at once too, and start nothing: no log is left.
  for (const char* help : {"--help", "-h"}) {
    auto asked = Run({help, "-start"});
    EXPECT_EQ(asked->Wait(), 0) << help;
    EXPECT_EQ(asked->Output(), kUsage) << help;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "keldor.log"));
  // The tools beside it answer --help the same way: asked for, it is no error.
  for (const char* tool : {"mkinstall", "gamesim", "keldorctl"}) {
    EXPECT_EQ(Process(BinaryPath(tool), {"--help"}, dir_.path(), dir_ / "help").Wait(), 0) << tool;
  }
  auto version = Run({"--version"});
  EXPECT_EQ(version->Wait(), 0);
  EXPECT_EQ(version->Output(), "Keldor v" KELDOR_VERSION " beta 4e\n");  // as the log begins
}

TEST_F(Daemon, FirstStartCreatesFilesListensAndEndsOnSigterm) {
  std::filesystem::remove_all(dir_ / "mods/bfvietnam/settings");
  auto keldor = Run({"-path", dir_.path(), "-port", std::to_string(port_)});
  ASSERT_TRUE(WaitFor([&] {
    return Logged("Listening on 0.0.0.0:" + std::to_string(port_) + ".");
  })) << Log();
  const std::string settings = dir_ / "mods/bfvietnam/settings/";
  EXPECT_EQ(ReadFile(settings + "playermenu.con"), "Kick|kick\nBan|ban\n");
  EXPECT_EQ(ReadFile(settings + "servermanager.con").rfind("game.serverName \"", 0), 0u);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "mods/bfvietnam/save/gamemodesettings/evolution.wst"));
  EXPECT_TRUE(CanConnect(port_));
  // The log echoes to the terminal in the foreground.
  EXPECT_NE(keldor->Output().find("Keldor v2.0 beta 4e\r\n"), std::string::npos);

  keldor->Signal(SIGTERM);
  EXPECT_EQ(keldor->Wait(), 15);
  EXPECT_TRUE(Logged("Exiting due to signal (15).\r\n"));
}

TEST_F(Daemon, PortInUseAndBrokenInstallationsAreFatal) {
  reserved_.Release();
  const int blocker = testing::BindLoopback(SOCK_STREAM, port_);
  ASSERT_EQ(listen(blocker, 1), 0);
  EXPECT_EQ(Run({"-path", dir_.path(), "-port", std::to_string(port_)})->Wait(), 1);
  EXPECT_TRUE(Logged("Couldn't bind server socket to 127.0.0.1:" + std::to_string(port_) +
                     "! Address already in use (98)\r\n"))
      << Log();
  close(blocker);

  std::filesystem::remove(dir_ / "bfv_linded");
  EXPECT_EQ(Run({"-path", dir_.path() + "/", "-port", std::to_string(port_)})->Wait(), 1);
  EXPECT_TRUE(Logged("Couldn't find server binary in " + dir_.path() + "! Use -path"));
}

TEST_F(Daemon, PidFileKillAndDaemonDetaching) {
  const std::string pidFile = dir_ / "keldor.pid";
  auto keldor = Run({"-path", dir_.path(), "-port", std::to_string(port_), "-pid", pidFile});
  ASSERT_TRUE(WaitFor([&] { return ReadFile(pidFile) == std::to_string(keldor->pid()); }));
  Process killer(BinaryPath("keldor"), {"-kill", "-pid", pidFile}, dir_.path(), dir_ / "killer");
  EXPECT_EQ(killer.Wait(), 0);
  EXPECT_EQ(killer.Output(), "Sent SIGTERM to pid " + std::to_string(keldor->pid()) + ".\n");
  EXPECT_EQ(keldor->Wait(), 15);

  std::filesystem::remove(pidFile);
  auto parent =
      Run({"-path", dir_.path(), "-port", std::to_string(port_), "-pid", pidFile, "-daemon"});
  EXPECT_EQ(parent->Wait(), 0);
  ASSERT_TRUE(WaitFor([&] { return !ReadFile(pidFile).empty() && CanConnect(port_); }));
  const pid_t daemon = std::stoi(ReadFile(pidFile));
  EXPECT_NE(daemon, parent->pid());
  ASSERT_EQ(kill(daemon, SIGTERM), 0);
  EXPECT_TRUE(WaitFor([&] { return kill(daemon, 0) != 0; }));
  // Nothing logged after detaching reaches the terminal.
  EXPECT_EQ(parent->Output().find("Listening on"), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return Logged("Exiting due to signal (15)."); }));
  EXPECT_EQ(parent->Output().find("Exiting due to signal"), std::string::npos);

  // A game server started before detaching is watched after it on a descriptor
  // of its own: a client's connection, which may get the old number, is
  // neither taken for the server's exit nor closed with it.
  std::filesystem::remove(pidFile);
  // gamesim in place of the placeholder: it leaves the pid file it is ended by.
  std::filesystem::copy_file(BinaryPath("gamesim"), dir_ / "bfv_linded",
                             std::filesystem::copy_options::overwrite_existing);
  auto starter = Run(
      {"-path", dir_.path(), "-port", std::to_string(port_), "-pid", pidFile, "-daemon", "-start"});
  EXPECT_EQ(starter->Wait(), 0);
  ASSERT_TRUE(WaitFor([&] { return !ReadFile(pidFile).empty() && CanConnect(port_); }));
  const pid_t watcher = std::stoi(ReadFile(pidFile));
  {
    RawClient admin(port_);
    ASSERT_TRUE(admin.LogIn(InstallationFact(dir_.path(), "admin-user"),
                            InstallationFact(dir_.path(), "admin-password")));
    for (int k = 0; k < 2; ++k) {
      admin.SendWord(REQ_PING);
      EXPECT_EQ(admin.ReadWord(), NOTE_PONG) << k;
      EXPECT_EQ(admin.ReadWord(), 0u) << k;
    }
  }
  EXPECT_FALSE(Logged("Server terminated")) << Log();
  kill(watcher, SIGTERM);
  EXPECT_TRUE(WaitFor([&] { return kill(watcher, 0) != 0; }));
  ASSERT_TRUE(WaitFor([&] { return Alive(GamePid(dir_.path())); }));
  KillGameServer(dir_.path());
}

TEST_F(Daemon, OverlayHoldsSettingsAndLogsAndSigintEndsWithStatusTwo) {
  const std::string overlay = dir_ / "overlay";
  auto keldor =
      Run({"-path", dir_.path(), "-port", std::to_string(port_), "+overlayPath", overlay});
  const auto log = [&] { return ReadFile(overlay + "/logs/keldor.log"); };
  ASSERT_TRUE(WaitFor([&] { return log().find("Listening on") != std::string::npos; }));
  EXPECT_TRUE(std::filesystem::exists(overlay + "/settings/servermanager.con"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "keldor.log"));
  keldor->Signal(SIGINT);
  EXPECT_EQ(keldor->Wait(), 2);
  EXPECT_NE(log().find("Exiting due to signal (2)."), std::string::npos);
}

}  // namespace
}  // namespace keldor::e2e
