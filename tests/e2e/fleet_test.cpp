// A fleet of two: Keldors "a" and "b", each beside its own gamesim, sharing one
// throwaway PostgreSQL, with the same player in both games. A ban or a lift
// made on one reaches the other and its game, also when the database was
// stopped meanwhile or the Keldor that made it was killed before it could send
// it; a hung database holds up neither the clients nor the crash watch; each
// server's row tells its map and players. Without a fleet no fleet file appears.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "pg_cluster.h"

namespace keldor::e2e {
namespace {

constexpr std::size_t npos = std::string::npos;
const std::string kKey = "0123456789abcdef0123456789abcdef";
const std::string kGuid = "fedcba9876543210fedcba9876543210";
const std::string kRaider = "Raider ip=10.7.7.7 keyhash=" + kKey + " guid=" + kGuid;

// One installation with its gamesim and its Keldor, ended by pid at the end.
class Member {
 public:
  explicit Member(std::string name) : name_(std::move(name)) {
    MakeInstallation(dir_.path(), "--console-port " + std::to_string(console_.port()) +
                                      " --server-binary " + BinaryPath("gamesim"));
    port_ = InstallationFact(dir_.path(), "listen-port");
    WriteFile(Settings("useraccess.con"), Account("admin", "secret", 0xFFFFFFFF));
    // The expiry check and the status row come with every pass: 10 s is the least.
    WriteFile(Settings("servermanager.con"),
              ReadFile(Settings("servermanager.con")) + "manager.monitorTimerPeriod 10\n");
  }
  ~Member() {
    keldor_.reset();
    KillGameServer(dir_.path());
  }

  const std::string& Dir() const { return dir_.path(); }
  const std::string& Port() const { return port_; }
  std::string Settings(const std::string& file) const {
    return dir_ / ("mods/bfvietnam/settings/" + file);
  }
  std::string Bans() const { return ReadFile(Settings("serverbanlist.con")); }
  std::string Log() const { return ReadFile(dir_ / "keldor.log"); }
  int CountLogged(const std::string& text) const {
    const std::string log = Log();
    int count = 0;
    for (auto at = log.find(text); at != npos; at = log.find(text, at + 1)) ++count;
    return count;
  }
  bool Logged(const std::string& text) const { return CountLogged(text) > 0; }
  std::string Sim(const std::string& line) const { return GameSimControl(dir_.path(), line); }
  // A player joins: his id, or the game's refusal.
  std::string Join(const std::string& player) const {
    const std::string answer = Sim("add " + player);
    return answer.rfind("ok ", 0) == 0 ? answer.substr(3) : answer;
  }
  bool Present(const std::string& name) const { return Sim("players").find(":" + name) != npos; }

  // Keldor with the game server, in the fleet when `conninfo` is given; back
  // once the console is connected and the fleet joined.
  void Start(const std::string& conninfo = "") {
    std::vector<std::string> args{"-path",  dir_.path(), "-port",   port_,
                                  "-start", "-restart",  "-nodelay"};
    if (!conninfo.empty()) args.insert(args.end(), {"-fleet", conninfo, "-fleetname", name_});
    const int connected = CountLogged(" : Connected\r\n");
    const int joined = CountLogged("Joined the fleet as " + name_ + ".");
    keldor_ = std::make_unique<Process>(BinaryPath("keldor"), args, dir_.path(),
                                        dir_ / ("keldor" + std::to_string(++runs_) + ".out"));
    ASSERT_TRUE(WaitFor(
        [&] {
          return CountLogged(" : Connected\r\n") > connected &&
                 (conninfo.empty() || CountLogged("Joined the fleet as " + name_ + ".") > joined);
        },
        40))
        << Log();
  }
  Process& keldor() { return *keldor_; }
  std::pair<int, std::string> Admin(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--port", port_, "--user", "admin", "--password", "secret"};
    all.insert(all.end(), args.begin(), args.end());
    Process ctl(BinaryPath("keldorctl"), all, dir_.path(),
                dir_ / ("ctl" + std::to_string(++runs_)));
    return {ctl.Wait().value_or(-1), ctl.Output()};
  }

 private:
  std::string name_;
  TempDir dir_;
  ReservedPort console_;  // held for the whole test: gamesim is started again on it
  std::string port_;
  std::unique_ptr<Process> keldor_;
  int runs_ = 0;
};

class Fleet : public ::testing::Test {
 protected:
  void StartFleet() {
    db_.emplace();
    ASSERT_TRUE(db_->Ok());
    ASSERT_NO_FATAL_FAILURE(a_.Start(db_->ConnInfo()));
    ASSERT_NO_FATAL_FAILURE(b_.Start(db_->ConnInfo()));
  }
  // A ban made on A through keldorctl: by id and name, or -1 with identifiers.
  void BanOnA(const std::vector<std::string>& args) {
    std::vector<std::string> all{"ban"};
    all.insert(all.end(), args.begin(), args.end());
    ASSERT_TRUE(Says(a_.Admin(all), 0, "Banned ")) << a_.Log();
  }
  bool OnBsList(const std::string& entry) { return b_.Bans().find(entry) != npos; }

  std::optional<testing::PgCluster> db_;  // made by StartFleet: a Keldor alone needs none
  Member a_{"a"}, b_{"b"};
};

TEST_F(Fleet, BansLiftsAndExpiriesOnOneServerReachTheOtherAndItsGame) {
  ASSERT_NO_FATAL_FAILURE(StartFleet());
  const std::string id = a_.Join(kRaider);
  ASSERT_EQ(b_.Join(kRaider).find("banned"), npos);
  // Each server's row tells its client port, state, map and its one player.
  const std::string rows = "a|" + a_.Port() + "|running|Hue|1\nb|" + b_.Port() + "|running|Hue|1\n";
  const std::string query = "SELECT name, port, state, map, players FROM keldor.servers ORDER BY 1";
  EXPECT_TRUE(WaitFor([&] { return db_->Query(query) == rows; }, 30)) << db_->Query(query);

  BanOnA({id, "Raider", "0", "wallhack"});
  EXPECT_TRUE(WaitFor([&] { return !b_.Present("Raider"); }, 2)) << b_.Log();
  EXPECT_TRUE(WaitFor([&] {
    return b_.Logged("Fleet ban from a on player Raider put into effect.");
  })) << b_.Log();
  EXPECT_EQ(b_.Bans(), a_.Bans());  // a LAN game bans by address alone
  EXPECT_NE(b_.Join(kRaider).find("banned"), npos);
  EXPECT_EQ(db_->Query("SELECT server, name, address, keyhash, end_time, reason, lifted_at IS NULL "
                       "FROM keldor.bans"),
            "a|Raider|10.7.7.7||0|wallhack|t\n");

  ASSERT_TRUE(Says(a_.Admin({"unban", "Raider"}), 0)) << a_.Log();
  EXPECT_TRUE(WaitFor([&] { return !OnBsList("Raider"); })) << b_.Bans();
  EXPECT_TRUE(b_.Logged("Fleet lift from a on player Raider put into effect.")) << b_.Log();
  EXPECT_EQ(b_.Join(kRaider).find("banned"), npos);
  EXPECT_EQ(db_->Query("SELECT lifted_on FROM keldor.bans"), "a\n");

  // A timed ban ends on B as well: in its list and in its game.
  BanOnA({"-1", "Camper", "3", "--address", "10.8.8.8"});
  ASSERT_TRUE(WaitFor([&] { return OnBsList("Camper"); })) << b_.Log();
  EXPECT_EQ(b_.Bans(), a_.Bans());  // with its end
  EXPECT_NE(b_.Join("Camper ip=10.8.8.8").find("banned"), npos);
  EXPECT_TRUE(WaitFor([&] { return !OnBsList("Camper"); }, 40)) << b_.Log();
  EXPECT_EQ(b_.Join("Camper ip=10.8.8.8").find("banned"), npos);
}

// Changes made while the database is away wait in A's outbox, also
// through a SIGKILL, and are sent once it is back.
TEST_F(Fleet, ChangesMadeWhileTheDatabaseIsDownArriveWhenItIsBack) {
  ASSERT_NO_FATAL_FAILURE(StartFleet());
  b_.Join(kRaider);
  ASSERT_TRUE(db_->Stop());
  const auto queued = [&] { return !ReadFile(a_.Settings("fleetoutbox.con")).empty(); };
  BanOnA({"-1", "Raider", "0", "--address", "10.7.7.7", "--keyhash", kKey});
  EXPECT_TRUE(WaitFor(queued));
  ASSERT_TRUE(WaitFor([&] { return a_.Logged("Fleet database unreachable! "); })) << a_.Log();
  EXPECT_TRUE(b_.Present("Raider"));
  ASSERT_TRUE(db_->Start());
  EXPECT_TRUE(WaitFor([&] { return !b_.Present("Raider"); }, 40)) << a_.Log() << b_.Log();
  EXPECT_TRUE(WaitFor([&] { return a_.Logged("Fleet: 2 queued change(s) sent."); }))
      << a_.Log();  // the ban and its record
  EXPECT_EQ(ReadFile(a_.Settings("fleetoutbox.con")), "");
  EXPECT_EQ(a_.CountLogged("Fleet database unreachable! "), 1);  // once per outage

  const std::string id = a_.Join("Sniper ip=10.6.6.6");
  ASSERT_TRUE(db_->Stop());
  BanOnA({id, "Sniper", "0"});
  ASSERT_TRUE(WaitFor(queued));
  ASSERT_TRUE(a_.keldor().End(SIGKILL).has_value());
  ASSERT_TRUE(db_->Start());
  ASSERT_NO_FATAL_FAILURE(a_.Start(db_->ConnInfo()));
  EXPECT_TRUE(WaitFor([&] { return OnBsList("\"Sniper\",10.6.6.6,"); }, 40)) << b_.Log();
  EXPECT_NE(b_.Join("Sniper ip=10.6.6.6").find("banned"), npos);
  EXPECT_EQ(db_->Query("SELECT name FROM keldor.bans ORDER BY seq"), "Raider\nSniper\n");
  EXPECT_EQ(db_->Query("SELECT server, player, action FROM keldor.admin_actions ORDER BY player"),
            "a|Raider|ban\na|Sniper|ban\n");
}

// Nobody waits on a database that stopped answering: clients are served, a
// ban is made, a crashed game server comes back; the ban goes out once it answers.
TEST_F(Fleet, AHungDatabaseHoldsUpNothing) {
  ASSERT_NO_FATAL_FAILURE(StartFleet());
  b_.Join(kRaider);
  db_->Hang();
  const auto prompt = [&](const std::vector<std::string>& args) {
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(Says(a_.Admin(args), 0)) << args[0];
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2)) << args[0];
  };
  prompt({"ban", "-1", "Raider", "0", "--address", "10.7.7.7"});
  prompt({"ping"});
  prompt({"status"});
  const pid_t crashed = GamePid(a_.Dir());
  KillGameServer(a_.Dir());
  ASSERT_TRUE(
      WaitFor([&] { return a_.Logged("Auto-restart is enabled, restarting the server."); }, 40))
      << a_.Log();
  EXPECT_TRUE(WaitFor([&] {
    const pid_t now = GamePid(a_.Dir());
    return now != crashed && Alive(now);
  }));
  prompt({"ping"});
  db_->Resume();
  EXPECT_TRUE(WaitFor([&] { return !b_.Present("Raider"); }, 40)) << a_.Log() << b_.Log();
}

TEST_F(Fleet, WithoutAFleetNoFleetFileAppears) {
  setenv("KELDOR_FLEET", "", 1);  // set but empty: no fleet
  ASSERT_NO_FATAL_FAILURE(a_.Start());
  const std::string id = a_.Join(kRaider);
  BanOnA({id, "Raider", "0"});
  EXPECT_TRUE(Says(a_.Admin({"unban", "Raider"}), 0));
  EXPECT_EQ(a_.keldor().End(SIGTERM), 15);
  EXPECT_FALSE(testing::Exists(a_.Settings("fleetoutbox.con")));
  EXPECT_FALSE(testing::Exists(a_.Settings("fleetcursor.con")));
  EXPECT_FALSE(a_.Logged("Fleet") || a_.Logged("fleet")) << a_.Log();
}

}  // namespace
}  // namespace keldor::e2e
