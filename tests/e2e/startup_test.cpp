// The real daemon: command-line exits, start-up on a fresh installation,
// listening, signals, -pid/-kill, -daemon and fatal start-up failures; the
// installation mkinstall lays out. An overlay installation is in operator_test.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

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
    "       [-fleet <conninfo>] [-fleetname <name>] [-metrics <file>] [-hang <#>]\n"
    "       [-norollback]\n"
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
    "     \t-fleet <conninfo>\tjoins the fleet whose PostgreSQL database the libpq\n"
    "     \t\t\tconnection string names (default: $KELDOR_FLEET)\n"
    "     \t-fleetname <name>\tthis server's name in the fleet (default: $KELDOR_FLEET_NAME,\n"
    "     \t\t\telse the server name)\n"
    "     \t-metrics <file>\twrites Prometheus metrics to <file> every 3 seconds\n"
    "     \t-hang <#>\ttakes a server whose console and status query stay silent for\n"
    "     \t\t\t<#> passes of 3 seconds as hung (10 is a good value); with\n"
    "     \t\t\t-restart it is killed and started again\n"
    "     \t-norollback\tkeeps an upload after which the server crashes at start-up\n"
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

  EXPECT_EQ(keldor->End(SIGTERM), 15);
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
    for (int k = 0; k < 2; ++k) EXPECT_TRUE(admin.Pings()) << k;
  }
  EXPECT_FALSE(Logged("Server terminated")) << Log();
  kill(watcher, SIGTERM);
  EXPECT_TRUE(WaitFor([&] { return kill(watcher, 0) != 0; }));
  ASSERT_TRUE(WaitFor([&] { return Alive(GamePid(dir_.path())); }));
  KillGameServer(dir_.path());
}

// mkinstall lays out an installation that Keldor's start-up reads end to end:
// its settings file, the evolution data, mods.con and maps.con come out as
// the layout promises. An existing installation is left alone unless forced.
TEST(Mkinstall, BuildsAnInstallationThatKeldorStartsOnAndReplacesOnlyWhenForced) {
  TempDir temp;
  const std::string dir = temp / "game";
  WriteFile(dir + "/notes.txt", "not an installation\n");
  const auto run = [&](const std::string& options) {
    const std::string command =
        BinaryPath("mkinstall") + " " + options + " " + dir + " > " + dir + "/mkinstall.txt 2>&1";
    return WEXITSTATUS(std::system(command.c_str()));
  };
  ASSERT_EQ(run(""), 0) << ReadFile(dir + "/mkinstall.txt");
  const std::string accounts = dir + "/mods/bfvietnam/settings/useraccess.con";
  const std::string first = ReadFile(accounts);
  EXPECT_EQ(run("--pb"), 1);
  EXPECT_NE(ReadFile(dir + "/mkinstall.txt").find("already holds a game installation"),
            std::string::npos);
  EXPECT_EQ(ReadFile(accounts), first);
  EXPECT_FALSE(std::filesystem::exists(dir + "/pb"));
  ASSERT_EQ(run("--force --pb --server-binary /bin/sleep"), 0);
  EXPECT_NE(ReadFile(accounts), first);
  const auto fact = [&](const char* key) { return InstallationFact(dir, key); };
  const std::string user = fact("console-user"), pass = fact("console-password");
  const std::string settings = dir + "/mods/bfvietnam/settings/";
  EXPECT_EQ(ReadFile(settings + "servermanager.con"),
            "game.serverName \"Keldor Test Server\"\ngame.serverIP 127.0.0.1\n"
            "game.serverPort " +
                fact("game-port") + "\nmanager.consolePort " + fact("console-port") +
                "\ngame.gameSpyPort " + fact("query-port") + "\ngame.gameSpyLANPort " +
                fact("query-port") +
                "\ngame.serverInternet 0\nmanager.autoKickWord 1\n"
                "manager.consoleUsername \"" +
                user + "\"\nmanager.consolePassword \"" + pass + "\"\nadmin.enableRemoteConsole " +
                user + " " + pass + " " + fact("console-port") + "\n");
  EXPECT_EQ(ReadFile(settings + "bannedwords.con"), "noob\n");
  // The passwords in them are for their owner alone.
  for (const char* secret : {"servermanager.con", "useraccess.con"}) {
    EXPECT_EQ(std::filesystem::status(settings + secret).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << secret;
  }
  EXPECT_EQ(ReadFile(dir + "/bfv_linded"), ReadFile("/bin/sleep"));
  EXPECT_TRUE(std::filesystem::exists(dir + "/pb/pbsv.so"));

  // Start-up extracts the evolution data and writes mods.con and maps.con.
  const std::map<std::string, unsigned> bits = {
      {"bfvietnam,hue", 15},         {"bfvietnam,ia_drang", 13},
      {"bfvietnam,khe_sanh", 9},     {"bfvietnam,operation_hastings", 11},
      {"bfvietnam,saigon_1968", 14}, {"bfvietnam,landing_zone_albany", 8},
      {"bfvietnam,quang_tri", 10},   {"bf1942,wake_island", 9},
      {"bf1942,el_alamein", 11},     {"bf1942,quang_tri", 10},
      {"bf1942,berlin", 8}};
  std::string mods, maps;
  for (const std::string& mod : testing::Listing(dir + "/mods")) {
    if (mod != "bfvietnam" && mod != "bf1942") continue;  // training has no init.con
    mods += mod + "\n";
    for (const std::string& file :
         testing::Listing(dir + "/mods/" + mod + "/archives/bfvietnam/levels")) {
      const std::string key = mod + "," + file.substr(0, file.find(".rfa"));
      if (bits.count(key)) maps += key + "," + std::to_string(bits.at(key)) + "\n";
    }
  }
  {
    Process keldor(BinaryPath("keldor"), {"-path", dir, "-port", fact("listen-port")}, dir,
                   "/dev/null");
    // Start-up takes a moment; wait for the file (bounded) rather than for a time.
    WaitFor([&] { return ReadFile(settings + "maps.con") == maps || keldor.Wait(0); }, 30);
  }  // ended by its pid
  const std::string log = ReadFile(dir + "/keldor.log");
  EXPECT_EQ(ReadFile(settings + "mods.con"), mods) << log;
  EXPECT_EQ(ReadFile(settings + "maps.con"), maps) << log;
  const std::string evolution =
      ReadFile(dir + "/mods/bfvietnam/save/gamemodesettings/evolution.wst");
  EXPECT_GT(evolution.size(), 32768u);  // two segments' worth
  EXPECT_NE(evolution.find("<map_ name=\"saigon_1968\""), std::string::npos);
  EXPECT_EQ(log.find("Couldn't"), std::string::npos) << log;
}

}  // namespace
}  // namespace keldor::e2e
