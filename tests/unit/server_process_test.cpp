// Launching, finding and stopping game server processes (real processes from a
// stand-in binary copied into place as bfv_linded).
#include "process/server_process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>

#include "core/error.h"
#include "remote/notify.h"
#include "runtime/game_server.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::WaitFor;
using testing::WriteFile;

// A game server installation in the fixture's directory with the stand-in binary.
class ServerProcess : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    Opts().settingsDir = dir_ / "mods/bfvietnam/settings";
    ResetSettings();
    Install(dir_.path());
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    StateTest::TearDown();
  }
  static void Install(const std::string& dir) {
    std::filesystem::create_directories(dir + "/mods/bfvietnam/settings");
    std::filesystem::copy_file(FAKE_SERVER_PATH, dir + "/bfv_linded");
  }
  // Runs the binary in `dir` with `args`, as session leader unless told otherwise.
  pid_t Launch(const std::string& dir, std::vector<std::string> args, bool leader = true) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (leader) setsid();
      if (chdir(dir.c_str()) != 0) _exit(1);
      std::string binary = dir + "/bfv_linded";
      std::vector<char*> argv{binary.data()};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(binary.c_str(), argv.data());
      _exit(127);
    }
    children_.push_back(pid);
    WaitFor([&] { return Exists(dir + "/launch.txt"); }, 5);
    std::filesystem::remove(dir + "/launch.txt");
    return pid;
  }
  pid_t Launch(std::vector<std::string> args, bool leader = true) {
    return Launch(dir_.path(), std::move(args), leader);
  }

  std::vector<pid_t> children_;
};

TEST_F(ServerProcess, FindsOnlyLeadersOfItsOwnDirectory) {
  testing::TempDir other;
  Install(other.path());
  Launch(other.path(), {});
  int pid = -1;
  EXPECT_FALSE(FindServerProcess(&pid));
  EXPECT_EQ(pid, -1);

  Logging().debug = true;
  const pid_t follower = Launch({}, false);
  EXPECT_FALSE(FindServerProcess(&pid));
  EXPECT_TRUE(Logged("DEBUG: Ignoring slave server process pid " + std::to_string(follower)));

  const pid_t leader = Launch({});
  EXPECT_TRUE(FindServerProcess(&pid));
  EXPECT_EQ(pid, leader);
  // The launcher (this test) is the parent: asking for it gives the server.
  pid = getpid();
  EXPECT_TRUE(FindServerProcess(&pid));
  EXPECT_EQ(pid, leader);
}

TEST_F(ServerProcess, StatusTextShowsTheServerProcessRunning) {
  std::string text;
  ASSERT_TRUE(GetServerStatusString(&text));
  EXPECT_NE(text.find(",Stopped ,"), std::string::npos) << text;
  const pid_t leader = Launch({});
  ASSERT_TRUE(GetServerStatusString(&text));  // no pid known: any server of ours
  EXPECT_NE(text.find(",Stopped (running),"), std::string::npos) << text;
  GameServer().pid = leader;
  GameServer().monitoring = true;
  ASSERT_TRUE(GetServerStatusString(&text));
  EXPECT_NE(text.find(",Started (running),"), std::string::npos) << text;
}

TEST_F(ServerProcess, OverlayPathsSeparateServersOfOneDirectory) {
  const pid_t first = Launch({"+overlayPath", "/srv/a/"});
  const pid_t second = Launch({"+overlayPath", "/srv/b/"});
  for (const auto& [overlay, expected] : std::vector<std::pair<std::string, pid_t>>{
           {"/srv/b/", second}, {"/srv/a/", first}, {"/srv/c/", 0}, {"", -1}}) {
    int pid = -1;
    Opts().overlayPath = overlay;
    EXPECT_EQ(FindServerProcess(&pid), expected != 0) << overlay;
    if (expected > 0) {
      EXPECT_EQ(pid, expected) << overlay;
    }
  }
}

class ServerLaunch : public ServerProcess {
 protected:
  void SetUp() override {
    ServerProcess::SetUp();
    Row(Setting::ServerIP).current = 0x7F000001;
    Row(Setting::ServerName).text = "Test";
    Row(Setting::ConsoleUsername).text = "admin";
    Row(Setting::ConsolePassword).text = "secret";
    Opts().listenPort = 15667;
    WriteFile(Opts().settingsDir + "/servermaplist.con", "map\n");
  }
  // A refused start logs its reason, launches nothing and leaves a fresh log behind.
  void ExpectRefusal(const std::string& reason) {
    EXPECT_FALSE(StartServer());
    EXPECT_EQ(ErrorCode(), 0);
    EXPECT_TRUE(Logged("Couldn't start the server! " + reason)) << reason;
    EXPECT_FALSE(GameServer().monitoring);
    std::filesystem::remove(dir_ / "keldor.log");
  }
};

TEST_F(ServerLaunch, ValidationRefusesUnsafeSettings) {
  const auto refused = [&](Setting setting, std::int32_t value, const std::string& reason) {
    const std::int32_t valid = Row(setting).current;
    Row(setting).current = value;
    ExpectRefusal(reason);
    Row(setting).current = valid;
  };
  refused(Setting::ServerIP, 0, "Server IP address is invalid.");
  refused(Setting::ServerPort, 15667, "Game port address is the same as the Keldor port address.");
  refused(Setting::ConsolePort, 70000, "Remote Console port address is invalid.");
  Row(Setting::ConsolePassword).text.clear();
  refused(Setting::EnableRemoteAdmin, 1, "You must provide a password for Remote Admin.");
  Row(Setting::ServerInternet).current = 1;
  Row(Setting::ConsoleUsername).text = "User";
  Row(Setting::ConsolePassword).text = "Sentinel";
  ExpectRefusal("Using the default Remote Console username and password is disallowed");
  EXPECT_FALSE(Exists(Opts().settingsDir + "/maplist.con"));
}

TEST_F(ServerLaunch, EmptyRotationStopsAfterTheFilesAreWritten) {
  WriteFile(Opts().settingsDir + "/servermaplist.con", "");
  ExpectRefusal("The map rotation does not contain at least one level.");
  EXPECT_TRUE(Exists(Opts().settingsDir + "/serversettings.con"));
  EXPECT_TRUE(Exists(Opts().settingsDir + "/serverautoexec.con"));
}

TEST_F(ServerLaunch, StartsTheBinaryAsSessionLeaderWithItsArguments) {
  // Blanks in the paths and in an argument stay inside their argument.
  const std::string home = dir_ / "my server";
  std::filesystem::create_directories(home + "/over lay/logs");
  std::filesystem::copy_file(FAKE_SERVER_PATH, home + "/bfv_linded");
  Opts().serverDir = home;
  Opts().overlayPath = home + "/over lay/";
  Logging().directory = home + "/over lay/logs";
  Opts().serverArgWords = {"+a", "1 2"};
  ASSERT_TRUE(StartServer());
  children_.push_back(GameServer().pid);
  ASSERT_TRUE(WaitFor([&] { return Exists(home + "/launch.txt"); }));
  EXPECT_EQ(ReadFile(home + "/launch.txt"), "cwd=" + home + "\nleader=1\n" + home +
                                                "/bfv_linded\n+statusMonitor\n0\n+overlayPath\n" +
                                                home + "/over lay/\n+a\n1 2\n");
  EXPECT_EQ(GameServer().consolePass, "secret");
  EXPECT_EQ(ReadFile(Opts().settingsDir + "/maplist.con"), "map\n");
  EXPECT_NE(ReadFile(home + "/over lay/logs/keldor.log").find("Server started"), std::string::npos);

  int pid = -1;
  EXPECT_TRUE(FindServerProcess(&pid));
  EXPECT_EQ(pid, GameServer().pid);
}

TEST_F(ServerLaunch, BinaryThatCannotBeRunFailsTheStartWithTheReason) {
  std::filesystem::permissions(dir_ / "bfv_linded", std::filesystem::perms::owner_read);
  EXPECT_FALSE(StartServer());
  EXPECT_EQ(ErrorCode(), EACCES);
  EXPECT_TRUE(Logged(std::string("Couldn't launch server! ") + ErrorText(EACCES))) << Log();
  EXPECT_FALSE(GameServer().monitoring);
}

}  // namespace
}  // namespace keldor
