// keldorctl against keldor and the stand-in game server: start and stop with
// their "already" cases, the requests that become console commands, join
// information, a request refused for want of a right, usage errors, a daemon
// that cannot be reached, and the help texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kServerRight = 0x1000;
constexpr std::uint32_t kOperator =
    kServerRight | 0x10000 /*console*/ | 0x20 /*T*/ | 0x40 /*M*/ | 0x80 /*P*/;

class DispatchServer : public KeldorHarness {
 protected:
  void SetUp() override {
    StartKeldor(Account("op", "pw", kOperator) + Account("nostart", "pw", 0x3FFFF & ~kServerRight) +
                    Account("watcher", "pw", 0x20),
                "--server-binary " + BinaryPath("gamesim"));
  }
  void TearDown() override {
    RunOp({"stop"});  // never leave the game server behind
    KeldorHarness::TearDown();
  }
  std::pair<int, std::string> RunOp(const std::vector<std::string>& args) {
    return RunAs("op", "pw", args);
  }
  bool ConsoleConnected() {
    const auto [status, output] = RunOp({"status"});
    return status == 0 && output.find("Console         Connected") != std::string::npos;
  }
};

TEST_F(DispatchServer, StartAndStopTheGameServerThroughKeldorctl) {
  auto watch = Ctl({"--user", "watcher", "--password", "pw", "watch"});
  ASSERT_TRUE(WaitFor([&] { return Logged("connected as user watcher"); }));

  auto [status, output] = RunAs("nostart", "pw", {"start"});
  EXPECT_EQ(status, 3) << output;
  EXPECT_NE(output.find("did not carry out the request"), std::string::npos) << output;
  EXPECT_TRUE(Logged("does not have access to command BABE0018!"));
  EXPECT_FALSE(Logged("Server started"));

  std::tie(status, output) = RunOp({"start"});
  ASSERT_EQ(status, 0) << output << Log();
  EXPECT_EQ(output, "The server has been started.\n");
  EXPECT_TRUE(Logged("User op at 127.0.0.1:"));
  EXPECT_TRUE(Logged("started the server."));
  std::tie(status, output) = RunOp({"start"});
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "The server is already running.\n");
  EXPECT_TRUE(Logged("tried to start the server but it is already running."));

  // Requests that become console commands, once the console poll has connected.
  ASSERT_TRUE(WaitFor([&] { return ConsoleConnected(); }, 30)) << Log();
  std::tie(status, output) = RunOp({"pause"});
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "The game is paused.\n");
  std::tie(status, output) = RunOp({"pause"});
  EXPECT_EQ(output, "The game is running again.\n");
  std::tie(status, output) = RunOp({"say", "hello", "there"});
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(Logged("said 'hello") && Logged("there'.")) << Log();
  std::tie(status, output) = RunOp({"map", "change", "khe_sanh", "GPM_CQ", "bfvietnam"});
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(Logged("changed the map to khe_sanh GPM_CQ bfvietnam."));
  std::tie(status, output) = RunOp({"console", "game.sayAll", "\"hi\""});
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(Logged("issued console command 'game.sayAll \"hi\"'."));
  ASSERT_TRUE(WaitFor([&] { return RunOp({"join-info"}).first == 0; }, 30)) << Log();
  std::tie(status, output) = RunOp({"join-info"});
  EXPECT_NE(output.find("Game port "), std::string::npos) << output;
  EXPECT_NE(output.find("Internet  no"), std::string::npos) << output;

  std::tie(status, output) = RunOp({"stop"});
  EXPECT_EQ(status, 0) << output << Log();
  EXPECT_EQ(output, "The server has been stopped.\n");
  EXPECT_TRUE(Logged("stopped the server."));
  std::tie(status, output) = RunOp({"stop"});
  EXPECT_EQ(output, "The server is already stopped.\n");
  EXPECT_TRUE(Logged("tried to stop the server but it is already stopped."));
  std::tie(status, output) = RunOp({"join-info"});
  EXPECT_EQ(status, 4) << output;

  watch->Signal(SIGINT);
  EXPECT_EQ(watch->Wait(), 0);
  const std::string seen = watch->Output();
  for (const char* line : {"NOTE_SERVER_STARTED\n", "NOTE_ALREADY_RUNNING\n", "NOTE_GAME_PAUSED\n",
                           "NOTE_GAME_RESUMED\n", "NOTE_MAP_CHANGED khe_sanh GPM_CQ bfvietnam\n",
                           "NOTE_SERVER_STOPPED\n", "NOTE_ALREADY_STOPPED\n"}) {
    EXPECT_NE(seen.find(line), std::string::npos) << line << seen;
  }
  EXPECT_LT(seen.find("NOTE_SERVER_STARTED"), seen.find("NOTE_SERVER_STOPPED"));
}

TEST_F(DispatchServer, FailedCommandsAndUsageErrorsHaveTheirExitStatus) {
  // The game server is down: a console command fails.
  auto [status, output] = RunOp({"map", "restart"});
  EXPECT_EQ(status, 4) << output;
  EXPECT_NE(output.find("the command failed"), std::string::npos) << output;

  // Checked before connecting: nothing reaches keldor.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"say", std::string(256, 'x')},
                                             {"kick", "abc"},
                                             {"ban", "3", "name"},
                                             {"map", "fly"},
                                             {"get", "secrets"},
                                             {"put", "log"},
                                             {"disconnect", "17"}}) {
    std::tie(status, output) = RunOp(args);
    EXPECT_EQ(status, 1) << args[0] << output;
  }
  EXPECT_EQ(CountLogged("connected as user op"), 1);
  std::tie(status, output) = RunOp({"fly"});
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find("unknown command fly"), std::string::npos) << output;
  Process nowhere(BinaryPath("keldorctl"),
                  {"--port", std::to_string(FreePort()), "--user", "a", "--password", "b", "ping"},
                  dir_.path(), dir_ / "nowhere");
  EXPECT_EQ(nowhere.Wait(), 2);
  EXPECT_NE(nowhere.Output().find("Couldn't connect to 127.0.0.1:"), std::string::npos);

  std::tie(status, output) = RunCtl({"help"});
  EXPECT_EQ(status, 0);
  for (const char* command :
       {"ping",    "status",     "watch",      "join-info",   "players",   "clients", "kick",
        "ban",     "unban",      "clear-bans", "verify-bans", "sync-bans", "say",     "message",
        "console", "screenshot", "map",        "start",       "stop",      "pause",   "pb",
        "passwd",  "disconnect", "get",        "put"}) {
    EXPECT_NE(output.find("\n  " + std::string(command)), std::string::npos) << command;
    const auto [helpStatus, help] = RunCtl({"help", command});
    EXPECT_EQ(helpStatus, 0) << command;
    EXPECT_NE(help.find("Usage: keldorctl [options] " + std::string(command)), std::string::npos)
        << help;
  }
}

}  // namespace
}  // namespace keldor::e2e
