// keldorctl against keldor and the stand-in game server: start and stop with
// their "already" cases, the requests that become console commands (a
// multi-line console command as several), join information, kicks and map
// changes checked before they are sent, a request refused for want of a right,
// usage errors and a help text.
#include <gtest/gtest.h>

#include <regex>
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
                    Account("watcher", "pw", 0x20) + Account("admin", "secret", 0xFFFFFFFF),
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

  EXPECT_TRUE(Says(RunAs("nostart", "pw", {"start"}), 3, "did not carry out the request"));
  EXPECT_TRUE(Logged("does not have access to command BABE0018!"));
  EXPECT_FALSE(Logged("Server started"));

  ASSERT_EQ(RunOp({"start"}), std::make_pair(0, std::string("The server has been started.\n")))
      << Log();
  EXPECT_TRUE(Logged("User op at 127.0.0.1:"));
  EXPECT_TRUE(Logged("started the server."));
  EXPECT_EQ(RunOp({"start"}).second, "The server is already running.\n");

  // Requests that become console commands, once the console poll has connected.
  ASSERT_TRUE(WaitFor([&] { return ConsoleConnected(); }, 30)) << Log();
  EXPECT_EQ(RunOp({"pause"}).second, "The game is paused.\n");
  EXPECT_EQ(RunOp({"pause"}).second, "The game is running again.\n");
  EXPECT_EQ(RunOp({"console", "game.sayAll", "\"hi\""}).first, 0);
  EXPECT_TRUE(Logged("issued console command 'game.sayAll \"hi\"'."));
  // Several lines reach the game as several commands.
  EXPECT_EQ(RunOp({"console", "game.sayAll \"one\"\n\nadmin.timeLimit 1234\n"}).first, 0);
  EXPECT_EQ(Sim("get lastmessage"), "ok one");
  EXPECT_EQ(Sim("get admin.timeLimit"), "ok 1234");
  ASSERT_TRUE(WaitFor([&] { return RunOp({"join-info"}).first == 0; }, 30)) << Log();
  EXPECT_NE(RunOp({"join-info"}).second.find("Internet  no"), std::string::npos);

  // Kicks, bans and map changes are checked against what Keldor reports before
  // anything is sent.
  struct Refusal {
    std::vector<std::string> args;
    std::string reason;
  };
  const std::vector<Refusal> refusals = {
      {{"kick", "999", "nobody"}, "no such player"},
      {{"ban", "999", "nobody", "0"}, "no such player"},
      {{"map", "change", "nowhere", "GPM_CQ", "bfvietnam"}, "no such map"},
      {{"map", "set-next", "khe_sanh", "GPM_COOP", "bfvietnam"}, "has no game mode GPM_COOP"},
      {{"map", "idle", "hue", "GPM_CQ", "nomod"}, "no such mod"},
  };
  for (const Refusal& r : refusals) {
    EXPECT_TRUE(Says(RunAs("admin", "secret", r.args), 4, r.reason));
  }
  for (const char* unsent : {"kicked player", "banned player", "changed the map",
                             "changed the next map", "changed the idle map"}) {
    EXPECT_FALSE(Logged(unsent)) << unsent;
  }
  EXPECT_EQ(RunOp({"map", "change", "khe_sanh", "GPM_CQ", "bfvietnam"}).second,
            "The map is changing to khe_sanh GPM_CQ bfvietnam.\n");
  EXPECT_EQ(RunOp({"map", "idle"}).second, "There is no idle map now.\n");
  EXPECT_EQ(RunOp({"say", "hello"}).second, "Said it to every player.\n");
  ASSERT_TRUE(WaitFor([&] {
    return watch->Output().find("NOTE_IDLE_MAP_SET") != std::string::npos;
  })) << watch->Output();

  EXPECT_EQ(RunOp({"stop"}), std::make_pair(0, std::string("The server has been stopped.\n")))
      << Log();
  EXPECT_TRUE(Logged("stopped the server."));
  EXPECT_EQ(RunOp({"stop"}).second, "The server is already stopped.\n");
  EXPECT_EQ(RunOp({"join-info"}).first, 4);

  watch->Signal(SIGINT);
  EXPECT_EQ(watch->Wait(), 0);
  const std::string seen = watch->Output();
  EXPECT_TRUE(std::regex_search(
      seen, std::regex("(^|\n)[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                       "NOTE_MAP_CHANGED khe_sanh GPM_CQ bfvietnam\n")))
      << seen;
  EXPECT_LT(seen.find("NOTE_SERVER_STARTED\n"), seen.find("NOTE_SERVER_STOPPED\n")) << seen;
}

TEST_F(DispatchServer, FailedCommandsAndUsageErrorsHaveTheirExitStatus) {
  // The game server is down: a console command fails.
  EXPECT_TRUE(Says(RunOp({"map", "restart"}), 4, "the command failed"));
  // Checked before connecting: nothing reaches keldor.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"say", std::string(256, 'x')}, {"get", "secrets"}, {"put", "log"}}) {
    EXPECT_TRUE(Says(RunOp(args), 1)) << args[0];
  }
  EXPECT_EQ(CountLogged("connected as user op"), 1);
  EXPECT_TRUE(Says(RunOp({"fly"}), 1, "unknown command fly"));
  EXPECT_TRUE(Says(RunCtl({"help", "kick"}), 0, "Usage: keldorctl [options] kick"));
}

}  // namespace
}  // namespace keldor::e2e
