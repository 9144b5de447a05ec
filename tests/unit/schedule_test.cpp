// The event table and serverschedule.con.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/error.h"
#include "daemon/startup.h"
#include "remote/jobs.h"
#include "schedule/scheduler.h"
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
  static std::string Read(const std::string& path) { return testing::ReadFile(path); }

  std::string path_;
};

TEST_F(ScheduleFile, LinesParseIntoEventsAndMalformedOnesArePassedOver) {
  const std::string text =
      "1700000000,start wait,daily,/srv/night.con,*,1\r\n"
      "\n"
      "1700003600,stop,Monday,*,/srv/maps.con,0\n"
      "1700007200,,daily,*,*,1\n"         // empty field: too few remain
      "1700010800,stop,daily,*,*\n"       // five fields
      "soon,stop,daily,*,*,1\n"           // no time
      "0,stop,daily,*,*,1\n"              // time 0 would end the table
      "99999999999,stop,daily,*,*,1\n" +  // beyond 32 bits
      std::string("1700014400,stop,") +
      std::string(1100, 'd') + ",*,*,1\n" +
      "1700018000,an action longer than nineteen,weekdays and more,*,*,7";
  Write(text);
  ASSERT_TRUE(LoadSchedule(path_));
  const ScheduleTable& table = Schedule();
  EXPECT_EQ(table[0].time, 1700000000U);
  EXPECT_EQ(table[0].action, "start wait");
  EXPECT_EQ(table[0].days, "daily");
  EXPECT_EQ(table[0].settingsFile, "/srv/night.con");
  EXPECT_EQ(table[0].maplistFile, "*");
  EXPECT_EQ(table[0].enabled, 1);
  EXPECT_EQ(table[1].time, 1700003600U);
  EXPECT_EQ(table[1].maplistFile, "/srv/maps.con");
  EXPECT_EQ(table[1].enabled, 0);
  EXPECT_EQ(table[2].time, 1700018000U);
  EXPECT_EQ(table[2].action, "an action longer th");
  EXPECT_EQ(table[2].days, "weekdays and mo");
  EXPECT_EQ(table[2].enabled, 7);
  EXPECT_EQ(table[3].time, 0U);
  EXPECT_EQ(Read(path_), text);  // nothing changed, so nothing rewritten
}

TEST_F(ScheduleFile, DuplicateTimesMoveOnAndTheFileIsRewritten) {
  Write("1000,stop,daily,*,*,1\n1000,start,none,/a.con,*,1\n1001,stop,sun,*,*,0\n");
  ASSERT_TRUE(LoadSchedule(path_));
  EXPECT_EQ(Schedule()[1].time, 1001U);
  EXPECT_EQ(Schedule()[2].time, 1002U);
  EXPECT_EQ(Read(path_),
            "1000,stop,daily,*,*,1\n1001,start,none,/a.con,*,1\n1002,stop,sun,*,*,0\n");
  // The clients are told through the queue, in order with the other work.
  EXPECT_EQ(JobQueue()[0].code, JOB_BROADCAST);
  EXPECT_EQ(JobQueue()[0].text, std::to_string(static_cast<std::int32_t>(NOTE_SCHEDULE_CHANGED)));
}

TEST_F(ScheduleFile, DuplicatesAreNotRewrittenOverLinesThatCouldNotBeLoaded) {
  const std::string text = "1000,stop,daily,*,*,1\n1000,stop,daily,*,*,1\nbroken\n";
  Write(text);
  ASSERT_TRUE(LoadSchedule(path_));
  EXPECT_EQ(Schedule()[1].time, 1001U);
  EXPECT_EQ(Read(path_), text);
}

TEST_F(ScheduleFile, AtMost64EventsAreLoaded) {
  std::string text;
  for (int k = 1; k <= 70; ++k) text += std::to_string(k * 100) + ",stop,daily,*,*,1\n";
  Write(text);
  ASSERT_TRUE(LoadSchedule(path_));
  EXPECT_EQ(Schedule()[63].time, 6400U);
  EXPECT_NE(Log().find("more than 64 events"), std::string::npos);
}

TEST_F(ScheduleFile, SaveWritesEveryEventWithStarsForEmptyPaths) {
  Write("5,start,daily,/s.con,/m.con,1\n");
  ASSERT_TRUE(LoadSchedule(path_));
  Schedule()[0].settingsFile.clear();
  Schedule()[1] = ScheduleEvent{4294967295U, "stop wait", "weekends", "", "", -1};
  const std::string other = dir_ / "new/dir/schedule.con";
  ASSERT_TRUE(SaveSchedule(other));
  EXPECT_EQ(Read(other), "5,start,daily,*,/m.con,1\n4294967295,stop wait,weekends,*,*,-1\n");
}

TEST_F(ScheduleFile, MissingFileFailsAndKeepsTheTable) {
  Write("5,start,daily,*,*,1\n");
  ASSERT_TRUE(LoadSchedule(path_));
  EXPECT_FALSE(LoadSchedule(dir_ / "missing.con"));
  EXPECT_EQ(ErrorCode(), ENOENT);
  EXPECT_EQ(Schedule()[0].time, 5U);
}

TEST(DayCode, KeywordsMatchOnTheirOwnLengthInAnyCase) {
  EXPECT_EQ(DayCode("none"), 0);
  EXPECT_EQ(DayCode("Daily"), 1);
  EXPECT_EQ(DayCode("Sunday"), 2);
  EXPECT_EQ(DayCode("MONDAY"), 3);
  EXPECT_EQ(DayCode("tue"), 4);
  EXPECT_EQ(DayCode("wednesday"), 5);
  EXPECT_EQ(DayCode("thu"), 6);
  EXPECT_EQ(DayCode("fri"), 7);
  EXPECT_EQ(DayCode("sat"), 8);
  EXPECT_EQ(DayCode("weekdays"), 9);
  EXPECT_EQ(DayCode("WeekEnds"), 10);
  EXPECT_EQ(DayCode("weekend"), -1);
  EXPECT_EQ(DayCode("mo"), -1);
  EXPECT_EQ(DayCode(""), -1);
}

}  // namespace
}  // namespace keldor
