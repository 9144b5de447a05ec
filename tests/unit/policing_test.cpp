// Automatic kicks and bans, the admin action log and the statistics log: each
// rule at its boundary, one rule per player and pass, the warnings, the ban
// after repeated minus-score kicks, and the CSV lines byte for byte.
#include "policing/policing.h"

#include <gtest/gtest.h>

#include "core/error.h"
#include "fake_game.h"
#include "gamelink/player_table.h"
#include "policing/admin_log.h"
#include "policing/banned_words.h"
#include "policing/player_stats.h"
#include "process/server_process.h"
#include "runtime/events.h"
#include "runtime/job_queue.h"

namespace keldor {
namespace {

using testing::SimPlayer;

// The policing events as "kind:name", kinds numbered from the banned-word kick.
std::vector<std::string> g_events;
void RecordEvent(Event event, const char* text) {
  if (event < Event::kAutoKickWord) return;
  g_events.push_back(
      std::to_string(static_cast<int>(event) - static_cast<int>(Event::kAutoKickWord)) + ":" +
      (text != nullptr ? text : ""));
}

class PolicingTest : public testing::GameTest {
 protected:
  void SetUp() override {
    GameTest::SetUp();
    Subscribe(RecordEvent);
    g_events.clear();
    Opts().kickDelay = false;
  }
  // The jobs waiting, as "due-in text", and forgets them.
  std::vector<std::string> TakeJobs() {
    std::vector<std::string> jobs;
    for (const QueuedCommand& job : JobQueue()) {
      if (job.code == 0) continue;
      jobs.push_back(std::to_string(job.due - MonotonicNow()) + " " + job.text);
    }
    ClearJobQueue();
    return jobs;
  }
  std::vector<std::string> Pass() { return CommandsOf(PolicePlayers); }
  std::string AdminLog() { return testing::ReadFile(dir_ / "adminlog.csv"); }
};

TEST_F(PolicingTest, OneRulePerPlayerAtEachBoundaryWithEveryRecord) {
  testing::WriteFile(Opts().settingsDir + "/bannedwords.con", "bad\n");
  ASSERT_TRUE(LoadBannedWords());
  Row(Setting::AutoKickWord).current = 1;
  Row(Setting::AutoKickScore).current = 1;
  Row(Setting::AutoKickScoreValue).current = 6;
  Row(Setting::AutoKickPing).current = 1;
  Row(Setting::AutoKickPingValue).current = 500;
  Row(Setting::HighPingWarnings).current = 1;
  SimPlayer badGuy{1, "BadGuy", 1, -10, 900};
  badGuy.hash.clear();
  SetGame({badGuy, {2, "Six", 2, -6, 900}, {3, "Five", 2, -5, 500}, {4, "Fine", 1, 0, 499}});
  EXPECT_EQ(Pass(),
            (std::vector<std::string>{
                "admin.serverMessage \"[KELDOR] Kicking BadGuy for banned word in player name\"",
                "admin.serverMessage \"[KELDOR] Kicking Six for minus-score\"",
                "admin.serverMessage \"[KELDOR] Player Five ping 500 exceeds maximum of 500 for 1 "
                "times\""}));
  EXPECT_EQ(TakeJobs(), (std::vector<std::string>{"0 admin.kickPlayer 1", "0 admin.kickPlayer 2"}));
  EXPECT_EQ(g_events, (std::vector<std::string>{"0:BadGuy", "1:Six"}));
  ASSERT_EQ(PlayerCount(), 2u);
  EXPECT_EQ(Players().records[0].name, "Five");
  EXPECT_TRUE(
      Logged("Auto-kicked BadGuy ([unknown]) at 10.0.0.1 for banned word in player name.\r\n"));
  EXPECT_TRUE(Logged(
      "Auto-kicked Six (0123456789ABCDEF0123456789ABCDEF) at 10.0.0.2 for minus-score (-6).\r\n"));
  EXPECT_EQ(AdminLog(),
            "\"BadGuy\",10.0.0.1,[unknown],[unknown],\"auto\",1700000000,[unknown],kick,0,"
            "banned word in name\n"
            "\"Six\",10.0.0.2,0123456789ABCDEF0123456789ABCDEF,[unknown],\"auto\",1700000000,"
            "[unknown],kick,0,minus-score\n");

  // With the kick delay the jobs wait 12 seconds; the announcement does not.
  Opts().kickDelay = true;
  SetGame({{5, "Seven", 1, -7, 0}}, {"mapname", "Hue"});
  EXPECT_EQ(Pass().size(), 1u);
  EXPECT_EQ(TakeJobs(), (std::vector<std::string>{"12 admin.kickPlayer 5"}));
  EXPECT_NE(AdminLog().find(",1700000000,Hue,kick,0,minus-score\n"), std::string::npos);
}

TEST_F(PolicingTest, HighPingIsWarnedThriceThenKickedAndNewcomersStartAfresh) {
  Row(Setting::AutoKickPing).current = 1;
  Row(Setting::AutoKickPingValue).current = 500;
  auto pingOf = [this](const std::string& name, int ping) {
    SetGame({{7, name, 1, 0, ping}});
    return Pass();
  };
  // Warnings off: nothing is said until the kick in the fourth pass; a normal
  // pass in between starts the count again.
  for (int ping : {600, 600, 499, 600, 600, 600}) EXPECT_EQ(pingOf("Lag", ping).size(), 0u);
  EXPECT_EQ(TakeJobs().size(), 0u);
  EXPECT_EQ(
      pingOf("Lag", 600),
      (std::vector<std::string>{"admin.serverMessage \"[KELDOR] Kicking Lag for high-ping\""}));
  EXPECT_EQ(TakeJobs(), (std::vector<std::string>{"0 admin.kickPlayer 7"}));
  EXPECT_EQ(g_events, (std::vector<std::string>{"3:Lag"}));
  EXPECT_TRUE(Logged(
      "Auto-kicked Lag (0123456789ABCDEF0123456789ABCDEF) at 10.0.0.7 for high-ping (600).\r\n"));
  EXPECT_NE(AdminLog().find(",\"auto\",1700000000,[unknown],kick,0,high-ping\n"),
            std::string::npos);

  // Warnings on, with -noadmin as chat; a newcomer given a departed player's id
  // does not inherit that player's count.
  Row(Setting::HighPingWarnings).current = 1;
  Opts().adminMessages = false;
  pingOf("Lag", 700);
  pingOf("Lag", 700);
  EXPECT_EQ(pingOf("Newbie", 700),
            (std::vector<std::string>{"game.sayAll \"[KELDOR] Player Newbie ping 700 exceeds "
                                      "maximum of 500 for 1 times\""}));
  pingOf("Newbie", 700);
  EXPECT_EQ(pingOf("Newbie", 700).back(),
            "game.sayAll \"[KELDOR] Player Newbie ping 700 exceeds maximum of 500 for 3 times\"");
  EXPECT_EQ(TakeJobs().size(), 0u);
}

TEST_F(PolicingTest, RepeatedMinusScoreKicksBecomeABanUnlessTheIdentityIsUnknown) {
  Row(Setting::AutoKickScore).current = 1;
  Row(Setting::AutoKickScoreValue).current = 6;
  Row(Setting::AutoBan).current = 1;
  Row(Setting::AutoBanValue).current = 3;
  SetGame({{4, "Sniper \"X\"", 1, -8, 50}});
  for (int offence = 1; offence <= 2; ++offence) {
    Pass();
    EXPECT_EQ(TakeJobs(), (std::vector<std::string>{"0 admin.kickPlayer 4"}));
  }
  EXPECT_EQ(testing::ReadFile(KickListPath()), "10.0.0.4\n10.0.0.4\n");
  EXPECT_EQ(Pass(), (std::vector<std::string>{
                        "admin.serverMessage \"[KELDOR] Banned Sniper \"X\" for too many "
                        "minus-score kicks\""}));
  const std::string end(1, kBanFieldEnd);
  EXPECT_EQ(TakeJobs(),
            (std::vector<std::string>{"0 4" + end + "Sniper \"X\"" + end + "10.0.0.4" + end +
                                      "0123456789ABCDEF0123456789ABCDEF" + end + "[unknown]" + end +
                                      "0" + end + "Banned for too many minus-score kicks." + end}));
  EXPECT_EQ(testing::ReadFile(KickListPath()), "10.0.0.4\n10.0.0.4\n");
  EXPECT_EQ(g_events,
            (std::vector<std::string>{"1:Sniper \"X\"", "1:Sniper \"X\"", "2:Sniper \"X\"", "4:"}));
  EXPECT_TRUE(
      Logged("Auto-banned Sniper \"X\" (0123456789ABCDEF0123456789ABCDEF) at 10.0.0.4 for "
             "minus-score (-8).\r\n"));

  // On an Internet server the key hash counts; an unknown one is kicked every time, never banned.
  Row(Setting::ServerInternet).current = 1;
  SimPlayer anon{5, "Anon", 1, -9, 50};
  anon.hash.clear();
  SetGame({anon});
  for (int offence = 1; offence <= 4; ++offence) {
    Pass();
    EXPECT_EQ(TakeJobs(), (std::vector<std::string>{"0 admin.kickPlayer 5"}));
  }
  EXPECT_EQ(CountLogged("DEBUG: AutoBan: Player keyhash is unknown, kick ignored."), 4);
  EXPECT_EQ(testing::ReadFile(KickListPath()), "10.0.0.4\n10.0.0.4\n");
}

TEST_F(PolicingTest, AdminLogFieldsAndPlace) {
  LogAdminAction("Bob\x1b\"x\r\ny\",1", nullptr, "", "g", "ann, the admin", 7, "map\tx", "ban",
                 3600, "spam, \"again\"\nand again");
  EXPECT_EQ(AdminLog(),
            "\"Bob \"\"x  y\"\",1\",[unknown],[unknown],g,\"ann, the admin\",7,map x,ban,3600,"
            "\"spam, \"\"again\"\" and again\"\n");
  Opts().overlayPath = dir_ / "overlay/";
  EXPECT_EQ(AdminLogPath(), dir_ / "overlay/logs/adminlog.csv");
}

TEST_F(PolicingTest, StatisticsOfARoundAreWrittenOnceWithHeadersOnANewFile) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::vector<std::string> round = {"hostname",         "My \"Best\", Server",
                                          "mapname",          "Hue",
                                          "gametype",         "GPM_CQ",
                                          "number_of_rounds", "3",
                                          "timelimit",        "1200",
                                          "tickets2",         "57",
                                          "team_t0",          "NVA",
                                          "team_t1",          "USA",
                                          "gamemode",         "end"};
  SimPlayer bot{9, "Bot", 1, 2, 0};
  bot.listed = false;
  bot.hash.clear();
  SetGame({{1, "Ann", 2, 5, 40}, bot}, round);
  ASSERT_TRUE(GetPlayerList());
  const std::string path = dir_ / "statistics.csv";
  ASSERT_TRUE(LogPlayerStats(path));
  const std::string expected =
      "date,time,server,map,gamemode,rounds,timelimit,axis_tickets,allied_tickets\n"
      "player,team,score,kills,deaths,ping,ip,keyhash,pbguid\n"
      "2023-11-14,22:13:20,\"My \"\"Best\"\", Server\",Hue,GPM_CQ,3,1200,???,57\n"
      "\"Ann\",USA,5,3,4,40,10.0.0.1,0123456789ABCDEF0123456789ABCDEF,[unknown]\n"
      "\"Bot\",NVA,2,3,4,0,[unknown],[unknown],[unknown]\n";
  EXPECT_EQ(testing::ReadFile(path), expected);

  // After a line an earlier crash cut short, the next round starts on a line of its own.
  testing::WriteFile(path, expected + "2023-11-14,22:1");
  ASSERT_TRUE(LogPlayerStats(path));
  EXPECT_EQ(testing::ReadFile(path),
            expected + "2023-11-14,22:1\n" + expected.substr(expected.find("2023")));

  // No players: nothing written, nothing to report.
  SetGame({}, round);
  EXPECT_FALSE(LogPlayerStats(path));
  EXPECT_EQ(ErrorCode(), 0);

  // A round end whose player lines cannot all be written is still appended
  // only once, however many monitor passes see "end".
  std::remove(path.c_str());
  Row(Setting::StatCollection).current = 1;
  Row(Setting::StatFilePath).text = path;
  std::vector<std::string> broken = round;
  broken.insert(broken.end(), {"numplayers", "2"});  // one position more than there is
  SetGame({{1, "Ann", 2, 5, 40}}, broken);
  for (int pass = 0; pass < 3; ++pass) MonitorServer();
  EXPECT_EQ(CountLogged("Couldn't log player stats to CSV file!"), 1);
  const std::string written = testing::ReadFile(path);
  EXPECT_EQ(written.find("Hue"), written.rfind("Hue"));
}

}  // namespace
}  // namespace keldor
