// The event table and serverschedule.con, and the firing of its events: the
// window of each pass, warnings, days, the clock changes and the event files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "remote/jobs.h"
#include "runtime/game_server.h"
#include "schedule/scheduler.h"
#include "settings/settings.h"
#include "state_fixture.h"
#include "wire/protocol.h"

namespace keldor {
namespace {

class ScheduleFile : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    path_ = dir_ / "settings/serverschedule.con";
  }
  void Write(const std::string& text) { testing::WriteFile(path_, text); }
  // Event `k` of the table as a line of the file.
  static std::string Event(int k) {
    const ScheduleEvent& e = Schedule()[static_cast<std::size_t>(k)];
    return std::to_string(e.time) + "," + e.action + "," + e.days + "," + e.settingsFile + "," +
           e.maplistFile + "," + std::to_string(e.enabled);
  }

  std::string path_;
};

TEST_F(ScheduleFile, LinesParseIntoEventsAndMalformedOnesArePassedOver) {
  const std::string text =
      "1700000000,start wait,daily,/srv/night.con,*,1\r\n"
      "\n"
      "1700003600,stop,Monday,*,/srv/maps.con,0\n"
      "1700007200,,daily,*,*,1\n"         // empty field: too few remain
      "soon,stop,daily,*,*,1\n"           // no time
      "0,stop,daily,*,*,1\n"              // time 0 would end the table
      "99999999999,stop,daily,*,*,1\n" +  // beyond 32 bits
      std::string("1700014400,stop,") +
      std::string(1100, 'd') + ",*,*,1\n" +
      "1700018000,an action longer than nineteen,weekdays and more,*,*,7";
  Write(text);
  std::vector<std::size_t> skipped;
  ASSERT_TRUE(LoadSchedule(path_, &skipped));
  // The uploader hears which lines were passed over; the blank one is not among them.
  EXPECT_EQ(skipped, (std::vector<std::size_t>{4, 5, 6, 7, 8}));
  EXPECT_TRUE(Logged("WARNING: Skipped a malformed event on line 7 of " + path_ + "."));
  EXPECT_EQ(Event(0), "1700000000,start wait,daily,/srv/night.con,*,1");
  EXPECT_EQ(Event(1), "1700003600,stop,Monday,*,/srv/maps.con,0");
  EXPECT_EQ(Event(2), "1700018000,an action longer th,weekdays and mo,*,*,7");  // cut to fit
  EXPECT_EQ(testing::ReadFile(path_), text);  // nothing changed, so nothing rewritten
}

TEST_F(ScheduleFile, DuplicateTimesMoveOnAndTheFileIsRewrittenUnlessLinesWereLost) {
  Write("1000,stop,daily,*,*,1\n1000,start,none,/a.con,*,1\n1001,stop,sun,*,*,0\n");
  ASSERT_TRUE(LoadSchedule(path_));
  EXPECT_EQ(Schedule()[1].time, 1001U);
  EXPECT_EQ(Schedule()[2].time, 1002U);
  EXPECT_EQ(testing::ReadFile(path_),
            "1000,stop,daily,*,*,1\n1001,start,none,/a.con,*,1\n1002,stop,sun,*,*,0\n");
  // The clients are told through the queue, in order with the other work.
  EXPECT_EQ(JobQueue()[0].code, JOB_BROADCAST);
  EXPECT_EQ(JobQueue()[0].text, std::to_string(static_cast<std::int32_t>(NOTE_SCHEDULE_CHANGED)));

  const std::string text = "1000,stop,daily,*,*,1\n1000,stop,daily,*,*,1\nbroken\n";
  Write(text);
  ASSERT_TRUE(LoadSchedule(path_));
  EXPECT_EQ(Schedule()[1].time, 1001U);
  EXPECT_EQ(testing::ReadFile(path_), text);
}

TEST_F(ScheduleFile, AtMost64EventsAreLoaded) {
  std::string text;
  for (int k = 1; k <= 70; ++k) text += std::to_string(k * 100) + ",stop,daily,*,*,1\n";
  Write(text);
  std::vector<std::size_t> skipped;
  ASSERT_TRUE(LoadSchedule(path_, &skipped));
  EXPECT_EQ(Schedule()[63].time, 6400U);
  EXPECT_EQ(skipped, (std::vector<std::size_t>{65, 66, 67, 68, 69, 70}));
  EXPECT_EQ(CountLogged("more than 64 events"), 1);
}

TEST_F(ScheduleFile, SaveWritesStarsForEmptyPathsAndAMissingFileKeepsTheTable) {
  Write("5,start,daily,/s.con,/m.con,1\n");
  ASSERT_TRUE(LoadSchedule(path_));
  EXPECT_FALSE(LoadSchedule(dir_ / "missing.con"));
  EXPECT_EQ(ErrorCode(), ENOENT);
  EXPECT_EQ(Schedule()[0].time, 5U);
  Schedule()[0].settingsFile.clear();
  Schedule()[1] = ScheduleEvent{4294967295U, "stop wait", "weekends", "", "", -1};
  const std::string other = dir_ / "new/dir/schedule.con";
  ASSERT_TRUE(SaveSchedule(other));
  EXPECT_EQ(testing::ReadFile(other),
            "5,start,daily,*,/m.con,1\n4294967295,stop wait,weekends,*,*,-1\n");
}

TEST(DayCode, KeywordsMatchOnTheirOwnLengthInAnyCase) {
  EXPECT_EQ(DayCode("MONDAY"), 3);
  EXPECT_EQ(DayCode("tue"), 4);
  EXPECT_EQ(DayCode("WeekEnds"), 10);
  for (const char* day : {"weekend", "mo", ""}) EXPECT_EQ(DayCode(day), -1) << day;
}

// Central European time, with its clock changes on 29 March and 25 October 2026.
constexpr const char* kZone = "CET-1CEST,M3.5.0,M10.5.0/3";

std::vector<std::string> g_calls;  // what the events asked of the process subsystem

class Firing : public ScheduleFile {
 protected:
  void SetUp() override {
    ScheduleFile::SetUp();
    if (const char* tz = std::getenv("TZ")) oldZone_ = tz;
    setenv("TZ", kZone, 1);
    tzset();
    g_calls.clear();
    SetServerControl({[] {
                        g_calls.push_back("start");
                        GameServer().monitoring = true;
                        GameServer().pid += 100;
                        return true;
                      },
                      [] {
                        g_calls.push_back("stop");
                        GameServer().monitoring = false;
                        return true;
                      }});
    Row(Setting::MonitorTimerPeriod).current = 30;
  }
  void TearDown() override {
    oldZone_.empty() ? unsetenv("TZ") : setenv("TZ", oldZone_.c_str(), 1);
    tzset();
    ScheduleFile::TearDown();
  }
  static std::time_t Local(int month, int day, int hour, int minute, int second = 0) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
  }
  // Loads the schedule with the clock at `t`.
  void LoadAt(std::time_t t, const std::string& text) {
    PinClock(t);
    Write(text);
    ASSERT_TRUE(LoadSchedule(path_));
  }
  // A crash-watch pass at `t`: what fired, and the texts queued for the players.
  std::vector<std::string> PassAt(std::time_t t) {
    PinClock(t);
    g_calls.clear();
    ClearJobQueue();
    CheckSchedule();
    std::vector<std::string> seen = g_calls;
    for (const auto& job : JobQueue()) {
      if (job.code == JOB_SERVER_MESSAGE) seen.push_back(job.text);
      if (job.code == JOB_SAY_ALL) seen.push_back("say " + job.text);
    }
    return seen;
  }
  using Seen = std::vector<std::string>;

  std::string oldZone_;
};

TEST_F(Firing, EveryOccurrenceFiresOnceInTableOrderHoweverThePassesFall) {
  const std::uint32_t at4 = static_cast<std::uint32_t>(Local(1, 5, 4, 0));
  const std::uint32_t late = static_cast<std::uint32_t>(Local(1, 5, 23, 59, 55));
  LoadAt(Local(3, 27, 3, 0),  // a Friday
         std::to_string(at4) + ",stop,daily,*,*,1\n" + std::to_string(at4) +
             ",start,daily,*,*,1\n" + std::to_string(late) + ",stop,weekdays,*,*,1\n" +
             std::to_string(late + 86400) + ",stop,sat,*,*,1\n" +
             std::to_string(Local(3, 27, 5, 0)) + ",start,none,*,*,1\n");
  EXPECT_EQ(Schedule()[1].time, at4 + 1);  // the duplicate moved on by a second
  // Passes 33 s apart around 04:00: both events fire in the second one, in order.
  EXPECT_EQ(PassAt(Local(3, 27, 3, 59, 58)), Seen{});
  EXPECT_EQ(PassAt(Local(3, 27, 4, 0, 31)), (Seen{"stop", "start"}));
  EXPECT_EQ(PassAt(Local(3, 27, 4, 0, 40)), Seen{});
  GameServer().monitoring = false;   // no warnings from here on
  ASSERT_TRUE(LoadSchedule(path_));  // a reload does not fire them again
  EXPECT_EQ(PassAt(Local(3, 27, 4, 1, 0)), Seen{});
  // The one-time event fires once and is disabled; a clock set back does not repeat it.
  EXPECT_EQ(PassAt(Local(3, 27, 5, 0, 5)), Seen{"start"});
  EXPECT_EQ(Schedule()[4].enabled, 0);
  Schedule()[4].enabled = 1;
  GameServer().monitoring = false;
  EXPECT_EQ(PassAt(Local(3, 27, 4, 59, 0)), Seen{});
  EXPECT_EQ(PassAt(Local(3, 27, 5, 0, 20)), Seen{});
  // Across midnight: Friday's weekday event at 23:59:55 fires in Saturday's
  // first pass; on Saturday only the "sat" event fires, in Sunday's first pass.
  EXPECT_EQ(PassAt(Local(3, 27, 23, 59, 40)), Seen{});
  EXPECT_EQ(PassAt(Local(3, 28, 0, 0, 10)), Seen{"stop"});
  EXPECT_EQ(PassAt(Local(3, 28, 23, 59, 50)), Seen{});
  EXPECT_EQ(PassAt(Local(3, 29, 0, 0, 20)), Seen{"stop"});  // the "sat" one, not "weekdays"
  // A pass far too late (a suspended machine) fires no backlog.
  EXPECT_EQ(PassAt(Local(3, 31, 4, 30, 0)), Seen{});
}

TEST_F(Firing, WarningsComeInTheirBandsAndWaitingEventsAtTheEndOfTheGame) {
  const std::time_t at = Local(6, 1, 4, 0);
  LoadAt(at - 600, std::to_string(at) + ",start,daily,*,*,1\n" + std::to_string(at + 3600) +
                       ",stop wait,daily,*,*,1\n");
  GameServer().monitoring = true;
  GameServer().pid = 42;
  const std::string restart = "[KELDOR] Server is scheduled to restart ";
  EXPECT_EQ(PassAt(at - 181), Seen{});
  EXPECT_EQ(PassAt(at - 180), Seen{restart + "in three minutes!"});
  EXPECT_EQ(PassAt(at - 120), Seen{restart + "in two minutes!"});
  EXPECT_EQ(PassAt(at - 61), Seen{restart + "in two minutes!"});
  EXPECT_EQ(PassAt(at - 60), Seen{restart + "in one minute or less!"});
  EXPECT_EQ(PassAt(at - 1), Seen{restart + "in one minute or less!"});
  EXPECT_EQ(PassAt(at), (Seen{"stop", "start"}));
  EXPECT_EQ(GameServer().pid, 142);

  // The waiting stop: no warnings, word at its time, the stop at the round end.
  EXPECT_EQ(PassAt(at + 3600 - 100), Seen{});
  EXPECT_EQ(PassAt(at + 3600),
            Seen{"[KELDOR] Server is scheduled to stop at the end of this game!"});
  FirePendingEvent();
  EXPECT_EQ(g_calls, Seen{});
  NoteRoundEnded();
  FirePendingEvent();
  EXPECT_EQ(g_calls, Seen{"stop"});
  EXPECT_EQ(PendingEndOfGameEvent().time, 0u);
  // Deferred again the next day, it fires when the server is another one; -noadmin says it in chat.
  Opts().adminMessages = false;
  GameServer().monitoring = true;
  EXPECT_EQ(PassAt(at + 86400 + 3610),
            Seen{"say [KELDOR] Server is scheduled to stop at the end of this game!"});
  GameServer().pid = 7;
  g_calls.clear();
  FirePendingEvent();
  EXPECT_EQ(g_calls, Seen{"stop"});
  // Without a supervised server the waiting event fires at once, without warnings.
  EXPECT_EQ(PassAt(at + 2 * 86400 + 3600 - 30), Seen{});
  EXPECT_EQ(PassAt(at + 2 * 86400 + 3600), Seen{"stop"});
}

TEST_F(Firing, OnClockChangeDaysALocalTimeFiresOnce) {
  const std::uint32_t at = static_cast<std::uint32_t>(Local(1, 5, 2, 30));
  LoadAt(Local(3, 28, 12, 0), std::to_string(at) + ",stop,daily,*,*,1\n");
  // 02:30 does not exist on 29 March: it fires at 03:30 summer time, an hour after 01:30.
  const std::time_t spring = Local(3, 29, 1, 30) + 3600;
  EXPECT_EQ(PassAt(spring - 1), Seen{});
  EXPECT_EQ(PassAt(spring), Seen{"stop"});
  // 02:30 comes twice on 25 October: the first fires, the second does not.
  const std::time_t autumn = Local(10, 25, 1, 30) + 3600;
  PinClock(autumn - 60);
  ScheduleCheckedUntil() = autumn - 60;
  for (std::time_t t = autumn; t <= autumn + 3600 + 60; t += 30) {
    EXPECT_EQ(PassAt(t), t == autumn ? Seen{"stop"} : Seen{}) << t - autumn;
  }
}

TEST_F(Firing, StartEventsTakeTheirFilesOnlyFromTheSettingsDirectory) {
  const std::string settings = Opts().settingsDir;
  testing::WriteFile(settings + "/night.con", "game.serverName \"Night\"\n");
  testing::WriteFile(settings + "/nightmaps.con", "game.setCurrentLevel hue GPM_CQ bfvietnam\n");
  testing::WriteFile(settings + "/servermaplist.con", "old\n");
  testing::WriteFile(settings + "/useraccess.con", "secret\n");
  testing::WriteFile(dir_ / "outside.con", "game.serverName \"Outside\"\n");
  LoadAt(1000, "100,start,none,night.con," + settings + "/nightmaps.con,1\n" +
                   "101,start,none,*,*,1\n" + "102,start,none," + dir_.path() +
                   "/outside.con,*,1\n" + "103,start,none,*,../settings/useraccess.con,1\n" +
                   "104,start,none,*,servermaplist.con,1\n" +
                   // Files whose text fewer rights write, or that hold passwords.
                   "105,start,none,announcements.con,*,1\n" +
                   "106,start,none,*,servermanager.con,1\n");
  testing::WriteFile(settings + "/announcements.con", "game.serverName \"Announced\"\n");
  testing::WriteFile(settings + "/servermanager.con", "admin.enableRemoteConsole a pw 4711\n");
  ASSERT_TRUE(FireEvent(100));
  EXPECT_EQ(Row(Setting::ServerName).text, "Night");
  EXPECT_EQ(testing::ReadFile(settings + "/servermaplist.con"),
            "game.setCurrentLevel hue GPM_CQ bfvietnam\n");
  EXPECT_TRUE(Logged("User operator at console changed"));
  EXPECT_TRUE(FireEvent(101));  // no files: it just restarts
  EXPECT_TRUE(Logged("Restarting server per scheduled event."));
  EXPECT_EQ(g_calls, (Seen{"start", "stop", "start"}));
  g_calls.clear();
  for (const std::time_t refused : {102, 103, 105, 106}) EXPECT_FALSE(FireEvent(refused));
  EXPECT_EQ(CountLogged("SECURITY ALERT! Scheduled event names "), 4);
  EXPECT_TRUE(Logged("Couldn't load the specified server settings file " + dir_.path()));
  EXPECT_TRUE(Logged("Couldn't load the specified maplist file ../settings/useraccess.con."));
  EXPECT_EQ(Row(Setting::ServerName).text, "Night");
  EXPECT_EQ(testing::ReadFile(settings + "/servermaplist.con"),
            "game.setCurrentLevel hue GPM_CQ bfvietnam\n");
  EXPECT_TRUE(FireEvent(104));  // the rotation itself: nothing to copy
  EXPECT_EQ(g_calls, (Seen{"stop", "start"}));
  EXPECT_FALSE(FireEvent(99));
  EXPECT_TRUE(Logged("Couldn't fire scheduled event! Event not found."));
}

}  // namespace
}  // namespace keldor
