// The event table and serverschedule.con.
#include <gtest/gtest.h>

#include <string>

#include "core/error.h"
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
  ASSERT_TRUE(LoadSchedule(path_));
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
  ASSERT_TRUE(LoadSchedule(path_));
  EXPECT_EQ(Schedule()[63].time, 6400U);
  EXPECT_NE(Log().find("more than 64 events"), std::string::npos);
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

}  // namespace
}  // namespace keldor
