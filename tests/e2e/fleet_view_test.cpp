// keldorctl fleet against a real PostgreSQL filled through the fleet's own
// functions: which servers count as gone by the database's clock, which bans
// are in force, rows written by a hostile Keldor, and databases that are dead
// or hang.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "e2e_support.h"
#include "fleet/schema.h"
#include "pg_cluster.h"

namespace keldor::e2e {
namespace {

class FleetView : public ::testing::Test {
 protected:
  // One cluster for the suite: making one is the dearest part of these tests.
  static void SetUpTestSuite() {
    pg_ = new testing::PgCluster;
    if (pg_->Ok()) pg_->Query(FleetMigrationTransaction(1));
  }
  static void TearDownTestSuite() { delete pg_; }
  void SetUp() override {
    unsetenv("KELDOR_FLEET");
    ASSERT_TRUE(pg_->Ok());
    Sql("TRUNCATE keldor.servers, keldor.bans, keldor.admin_actions");
  }
  void Sql(const std::string& sql) {
    const std::string out = pg_->Query(sql);
    ASSERT_EQ(out.find('\x01'), std::string::npos) << out;
  }
  // keldorctl to its end: {exit status, stdout and stderr}, and how long it took.
  std::pair<int, std::string> Ctl(std::vector<std::string> args, double* seconds = nullptr) {
    const auto start = std::chrono::steady_clock::now();
    Process ctl(BinaryPath("keldorctl"), args, dir_.path(), dir_ / ("ctl" + std::to_string(++n_)));
    const auto status = ctl.Wait();
    if (seconds != nullptr) {
      *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return {status.value_or(-1), ctl.Output()};
  }
  nlohmann::json Json(std::vector<std::string> args) {
    args.push_back("--json");
    const auto [status, out] = Ctl(args);
    EXPECT_EQ(status, 0) << out;
    return nlohmann::json::parse(out, nullptr, false);
  }

  static inline testing::PgCluster* pg_ = nullptr;
  TempDir dir_;
  int n_ = 0;
};

// A server is gone past three of its own passes, by the database's clock
// (the rows' times are the database's, whatever this host's clock says).
TEST_F(FleetView, ServersBansAndActionsAsTextAndJson) {
  Sql("SELECT keldor.server_status('alpha', '10.0.0.1', 15667, '2.0', 'running', 'hue', 12, 32, "
      "0, 10);"
      "SELECT keldor.server_status('beta', '10.0.0.2', 15668, '2.0', 'running', 'khe_sanh', 3, "
      "32, 1700000000, 10);"
      "SELECT keldor.server_status('gamma', '10.0.0.3', 15669, '2.0', 'stopped', 'hue', 0, 16, "
      "0, 30);"
      "UPDATE keldor.servers SET last_seen = now() - interval '31 seconds' WHERE name <> 'alpha';"
      "SELECT keldor.ban(md5('1'), 'alpha', 'ann', 'Cheater', '1.2.3.4', 'abcd', '', "
      "extract(epoch FROM now())::bigint - 60, 0, 'aimbot');"
      "SELECT keldor.ban(md5('2'), 'beta', 'bob', 'Lifted', '5.6.7.8', '', '', 100, 0, 'x');"
      "SELECT keldor.lift('beta', 'bob', '5.6.7.8', '', '', 200);"
      "SELECT keldor.ban(md5('3'), 'beta', 'bob', 'Expired', '9.9.9.9', '', '', 100, 200, 'y');"
      "SELECT keldor.admin_action(md5('4'), 'alpha', 1700000100, 'ann', 'Cheater', '1.2.3.4', "
      "'abcd', '', 'hue', 'ban', 0, 'aimbot');");
  const std::string db = pg_->ConnInfo();
  const auto [status, text] = Ctl({"fleet", "--db", db});
  EXPECT_EQ(status, 0) << text;
  EXPECT_TRUE(text.starts_with("Server  Address         State    Map       Players  Last crash"))
      << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("\nalpha +10\\.0\\.0\\.1:15667 +running +hue "
                                                 "+12/32 +- +[0-9] s ago\n")))
      << text;
  EXPECT_TRUE(
      std::regex_search(text, std::regex("\nbeta +10\\.0\\.0\\.2:15668 +gone +khe_sanh +3/32 "
                                         "+20[0-9-]+ [0-9:]+ +3[1-9] s ago\n")))
      << text;
  EXPECT_TRUE(std::regex_search(text, std::regex("\ngamma +10\\.0\\.0\\.3:15669 +stopped ")))
      << text;

  const nlohmann::json fleet = Json({"fleet", "--db", db});
  ASSERT_EQ(fleet["servers"].size(), 3u) << fleet;
  EXPECT_EQ(fleet["servers"][0]["gone"], false);
  EXPECT_EQ(fleet["servers"][0]["last_crash"], nullptr);
  EXPECT_EQ(fleet["servers"][1]["gone"], true);
  EXPECT_EQ(fleet["servers"][1]["last_crash_iso"], "2023-11-14T22:13:20Z");
  EXPECT_EQ(fleet["servers"][2]["gone"], false) << "30 s passes: 31 s is one pass";
  ASSERT_EQ(fleet["bans"].size(), 1u) << "lifted and expired bans are not in force";
  EXPECT_EQ(fleet["bans"][0]["name"], "Cheater");
  EXPECT_EQ(fleet["bans"][0]["guid"], nullptr);
  EXPECT_EQ(fleet["bans"][0]["end_iso"], nullptr);
  ASSERT_EQ(fleet["actions"].size(), 1u);
  EXPECT_EQ(fleet["actions"][0]["time_iso"], "2023-11-14T22:15:00Z");

  // The environment names the database; the search goes by any field, in any case.
  setenv("KELDOR_FLEET", db.c_str(), 1);
  EXPECT_EQ(Json({"fleet", "bans", "AIMBOT"}).size(), 1u);
  EXPECT_EQ(Json({"fleet", "bans", "Lifted"}).size(), 0u);
  EXPECT_EQ(Json({"fleet", "actions", "cheat"}).size(), 1u);
}

TEST_F(FleetView, HostileRowsArePrintedSafely) {
  Sql("SELECT keldor.server_status(E'evil\\x1b[2J\\u009b31m', 'a;rm -rf ~ $(id) `id`', 15667, "
      "'2.0', 'running', E'map\\x07', 1, 2, 0, 10);"
      "SELECT keldor.ban(md5('1'), 'evil', 'x', E'name\\r\\n', '', '', '', 1, 0, "
      "repeat('r', 10 * 1024 * 1024));");
  const std::string db = pg_->ConnInfo();
  const auto [status, text] = Ctl({"fleet", "--db", db});
  EXPECT_EQ(status, 0) << text;
  EXPECT_EQ(text.find_first_of("\x1b\x07\r"), std::string::npos) << text;
  EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << "C1 controls are controls too";
  EXPECT_NE(text.find("evil\\x1B[2J\\xC2\\x9B31m  a;rm -rf ~ $(id) `id`:15667"), std::string::npos)
      << text;
  const auto [banStatus, bans] = Ctl({"fleet", "bans", "--db", db});
  EXPECT_EQ(banStatus, 0);
  EXPECT_NE(bans.find("name\\x0D\\x0A"), std::string::npos) << bans;
  EXPECT_LT(bans.size(), 1024u) << "the reason is cut in the database";

  const nlohmann::json fleet = Json({"fleet", "--db", db});
  EXPECT_EQ(fleet["servers"][0]["name"],
            "evil\x1b[2J\xc2\x9b"
            "31m");
  EXPECT_EQ(fleet["bans"][0]["reason"], std::string(256, 'r'));
}

TEST_F(FleetView, ADeadOrHungDatabaseIsAClearErrorInSeconds) {
  ReservedPort nobody;
  double seconds = 0;
  const auto refused =
      Ctl({"fleet", "--db", "host=127.0.0.1 port=" + std::to_string(nobody.port()) + " user=k"},
          &seconds);
  EXPECT_TRUE(Says(refused, 2,
                   "keldorctl: couldn't read the fleet database: connection to server "
                   "at \"127.0.0.1\", port "))
      << refused.second;
  EXPECT_LT(seconds, 5);

  pg_->Hang();
  const auto hung = Ctl({"--timeout", "2", "fleet", "--db", pg_->ConnInfo()}, &seconds);
  pg_->Resume();
  EXPECT_EQ(hung, (std::pair<int, std::string>{
                      2, "keldorctl: couldn't read the fleet database: timed out\n"}));
  EXPECT_LT(seconds, 6);

  EXPECT_TRUE(Says(Ctl({"fleet"}), 1, "keldorctl: fleet needs --db CONNINFO or KELDOR_FLEET."));
}

}  // namespace
}  // namespace keldor::e2e
