// keldorctl against keldor and the stand-in game server: start and stop with
// their "already" cases, the requests that become console commands (a
// multi-line console command as several), join information, kicks and map
// changes checked before they are sent, a request refused for want of a right,
// usage errors. Bans end to end: keldor puts them into effect in the game
// server (a banned player cannot come back) or, with the server stopped, in
// the game's files; timed bans end on the crash watch's pass; verification,
// both syncs and clearing with the server running and stopped.
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

  EXPECT_EQ(watch->End(SIGINT), 0);
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
}

const std::string kKey = "0123456789abcdef0123456789abcdef";
const std::string kGuid = "fedcba9876543210fedcba9876543210";

class Bans : public KeldorHarness {
 protected:
  void Start(bool internetWithPunkBuster) {
    Install(std::string(internetWithPunkBuster ? "--pb " : "") + "--server-binary " +
            BinaryPath("gamesim"));
    WriteAccounts(Account("admin", "secret", 0xFFFFFFFF));
    std::string settings = ReadFile(SettingsPath("servermanager.con")) +
                           "manager.monitorTimerPeriod 10\n";  // the expiry check's period
    if (internetWithPunkBuster) {
      settings.replace(settings.find("game.serverInternet 0"), 21,
                       "game.serverInternet 1\ngame.serverPunkBuster 1\nmanager.banInBFandPB 1");
    }
    WriteFile(SettingsPath("servermanager.con"), settings);
    keldor_ = Keldor({}, "keldor.out");
    ASSERT_TRUE(WaitFor([&] { return Logged("Listening on"); })) << Log();
  }
  std::pair<int, std::string> Admin(const std::vector<std::string>& args) {
    return RunAs("admin", "secret", args);
  }
  void StartServer() {
    ASSERT_EQ(Admin({"start"}).first, 0) << Log();
    ASSERT_TRUE(WaitFor(
        [&] {
          return Admin({"status"}).second.find("Console         Connected") != std::string::npos;
        },
        30))
        << Log();
  }
  // A player joins; his id, or the game's refusal.
  std::string Join(const std::string& nameAndFields) {
    const std::string answer = Sim("add " + nameAndFields);
    return answer.rfind("ok ", 0) == 0 ? answer.substr(3) : answer;
  }
  std::string Keldors() { return ReadFile(SettingsPath("serverbanlist.con")); }
  std::string Games() { return ReadFile(SettingsPath("banlist.con")); }
};

TEST_F(Bans, InternetServerWithPunkBusterBansByKeyAndGuidAndLiftsThem) {
  Start(true);
  StartServer();
  // PunkBuster is known to run once the monitor has read the status reply.
  ASSERT_TRUE(WaitFor([&] {
    return Admin({"status"}).second.find("Enabled") != std::string::npos;
  })) << Log();
  const std::string id = Join("Alice ip=10.1.2.3 keyhash=" + kKey + " guid=" + kGuid);
  ASSERT_TRUE(Says(Admin({"ban", id, "Alice", "0", "--address", "10.1.2.3", "--keyhash", kKey,
                          "--guid", kGuid, "wall,", "hack"}),
                   0))
      << Log();
  // On the server the game bans him by his key hash; the address is not banned.
  EXPECT_EQ(Keldors().find("\"Alice\",*," + kKey + "," + kGuid + ",\"admin\","), 0u) << Keldors();
  EXPECT_NE(Keldors().find(",0,wall, hack\n"), std::string::npos) << Keldors();
  EXPECT_NE(Join("Alice ip=10.1.2.4 keyhash=" + kKey).find("banned"), std::string::npos);
  EXPECT_NE(Join("Al ip=10.1.2.5 guid=" + kGuid).find("banned"), std::string::npos);
  EXPECT_EQ(Admin({"ban", "-1", "Bob", "0", "--address", "10.9.9.9"}).first, 0) << Log();
  EXPECT_EQ(Admin({"verify-bans"}).first, 0) << Log();

  // A timed ban whose end has passed is lifted by the next expiry check.
  WriteFile(SettingsPath("serverbanlist.con"),
            Keldors() + "\"Old\",10.8.8.8,*,*,\"admin\",1,2,expired\n");
  ASSERT_TRUE(WaitFor(
      [&] {
        return Logged("Removed timed-ban on player Old (*), the ban has expired.") &&
               Keldors().find("Old") == std::string::npos;
      },
      40))
      << Log();

  EXPECT_TRUE(Says(Admin({"unban", "Alice", "", kKey, kGuid}), 0)) << Log();
  EXPECT_EQ(Keldors().find("Alice"), std::string::npos);
  EXPECT_EQ(Join("Alice ip=10.1.2.3 keyhash=" + kKey + " guid=" + kGuid).find("banned"),
            std::string::npos);

  EXPECT_EQ(Admin({"sync-bans", "from"}).first, 0) << Log();
  EXPECT_EQ(Keldors(), "\"[unknown]\",10.9.9.9,*,*,\"operator\",0,0,unknown reason\n");
  EXPECT_EQ(Admin({"clear-bans"}).first, 0) << Log();
  EXPECT_EQ(Keldors(), "");
  EXPECT_EQ(Join("Bob ip=10.9.9.9").find("banned"), std::string::npos);  // the game cleared too
  EXPECT_EQ(Admin({"verify-bans"}).first, 0) << Log();
}

TEST_F(Bans, LanServerWithoutPunkBusterByIdNameAddressAndInItsFilesWhileStopped) {
  Start(false);
  StartServer();
  // The operator's everyday ban: by id and name only, the identifiers come
  // from the player list; unban by name finds the ban in Keldor's list. Each
  // command prints its outcome and no notification.
  const std::string fox = Join("HotFox69 ip=10.4.4.4 keyhash=" + kKey);
  const auto said = [](int status, const std::string& text) { return std::pair{status, text}; };
  ASSERT_EQ(Admin({"ban", fox, "HotFox69", "3600", "cheating"}),
            said(0, "Banned HotFox69 (player id " + fox + ") on address 10.4.4.4, keyhash " + kKey +
                        ".\n"))
      << Log();
  EXPECT_NE(Join("HotFox69 ip=10.4.4.4").find("banned"), std::string::npos);
  ASSERT_EQ(Admin({"ban", "-1", "OfflineGuy", "0", "--address", "10.5.5.5"}),
            said(0, "Banned OfflineGuy on address 10.5.5.5.\n"))
      << Log();
  EXPECT_NE(Admin({"bans"}).second.find("permanent"), std::string::npos);

  EXPECT_EQ(Admin({"unban", "offlineguy"}), said(0, "Removed the ban on OfflineGuy.\n")) << Log();
  EXPECT_EQ(Admin({"unban", "HotFox69"}), said(0, "Removed the ban on HotFox69.\n")) << Log();
  EXPECT_EQ(Keldors(), "");
  EXPECT_EQ(Join("HotFox69 ip=10.4.4.4").find("banned"), std::string::npos);

  // The game's reply to a console command is what keldorctl prints.
  const auto [listed, players] = Admin({"console", "game.listPlayers"});
  EXPECT_EQ(listed, 0);
  EXPECT_NE(players.find("Id:"), std::string::npos) << players;
  EXPECT_NE(players.find(" is remote ip: "), std::string::npos) << players;

  // By address while running, and in the game's files while stopped.
  const std::string id = Join("Dave ip=10.2.2.2 guid=" + kGuid);
  ASSERT_EQ(Admin({"ban", id, "Dave", "60", "--address", "10.2.2.2", "--guid", kGuid}).first, 0)
      << Log();
  EXPECT_TRUE(Logged("Ban added on address 10.2.2.2."));
  EXPECT_NE(Join("Dave ip=10.2.2.2").find("banned"), std::string::npos);
  const std::string before = Keldors();
  EXPECT_NE(Admin({"ban", "-1", "Nobody", "0"}).first, 0);  // only "[unknown]" identifiers
  EXPECT_EQ(Keldors(), before);
  EXPECT_EQ(Admin({"stop"}).first, 0);
  ASSERT_TRUE(WaitFor([&] { return Logged("Disconnected"); })) << Log();

  // Stopped: the ban goes into the game's file; a GUID has no PunkBuster to go to.
  EXPECT_NE(Admin({"ban", "-1", "Eve", "0", "--address", "10.3.3.3", "--guid", kGuid}).first, 0);
  EXPECT_TRUE(Logged("Couldn't ban guid " + kGuid + "! PunkBuster is not installed."));
  EXPECT_EQ(
      Games(),
      "admin.addAddressToBanList 10.2.2.2:0 Perm\nadmin.addAddressToBanList 10.3.3.3:0 Perm\n");
  EXPECT_EQ(Admin({"verify-bans"}).first, 0) << Log();
  WriteFile(SettingsPath("banlist.con"), Games() + "admin.addKeyToBanList " + kKey + " Perm\n");
  EXPECT_EQ(Admin({"verify-bans"}).first, 4);
  EXPECT_EQ(Admin({"unban", "Dave", "10.2.2.2"}).first, 0) << Log();
  EXPECT_EQ(Admin({"sync-bans", "from"}).first, 0) << Log();
  EXPECT_EQ(Keldors(),
            "\"[unknown]\",10.3.3.3,*,*,\"operator\",0,0,unknown reason\n"
            "\"[unknown]\",*," +
                kKey + ",*,\"operator\",0,0,unknown reason\n");
  EXPECT_EQ(Admin({"sync-bans", "to"}).first, 0) << Log();
  EXPECT_EQ(Games(),
            "admin.addAddressToBanList 10.3.3.3:0 Perm\nadmin.addKeyToBanList " + kKey + " Perm\n");

  StartServer();  // the game reads its file: Eve stays out
  EXPECT_NE(Join("Eve ip=10.3.3.3").find("banned"), std::string::npos);
  EXPECT_EQ(Admin({"stop"}).first, 0);
  ASSERT_TRUE(WaitFor([&] { return CountLogged("Disconnected") == 2; })) << Log();
  EXPECT_EQ(Admin({"clear-bans"}).first, 0) << Log();
  EXPECT_EQ(Keldors() + Games(), "");
}

}  // namespace
}  // namespace keldor::e2e
