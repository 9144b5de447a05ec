// The command queue's due times: measured on the monotonic clock, so that an
// operator or a time daemon setting the system clock neither stalls the queue
// (a step back) nor runs delayed kicks at once (a step forward).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "daemon/startup.h"
#include "runtime/job_queue.h"
#include "state_fixture.h"

namespace keldor {
namespace {

std::vector<std::string> g_ran;

void Record(const QueuedCommand& job) {
  g_ran.push_back(job.text);
}

class DueTimes : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    g_ran.clear();
    SetJobRunner(Record);
    PinClock(1'000'000);
  }
  void TearDown() override {
    StateTest::TearDown();
    ConnectSubsystems();  // the real runner again
  }
};

TEST_F(DueTimes, WallClockStepsNeitherStallNorHurryTheQueue) {
  ASSERT_TRUE(QueueJob(JOB_KICK_PLAYER, "back", 0, 12));
  StepWallClock(-3600);  // the clock is set back an hour
  AdvanceClock(11);
  RunDueJobs();
  EXPECT_TRUE(g_ran.empty());
  AdvanceClock(1);
  RunDueJobs();
  EXPECT_EQ(g_ran, std::vector<std::string>{"back"});

  ASSERT_TRUE(QueueJob(JOB_KICK_PLAYER, "forward", 0, 12));
  StepWallClock(86400);  // and a day forward
  RunDueJobs();
  EXPECT_EQ(g_ran.size(), 1u);
  AdvanceClock(12);
  RunDueJobs();
  EXPECT_EQ(g_ran, (std::vector<std::string>{"back", "forward"}));
}

}  // namespace
}  // namespace keldor
