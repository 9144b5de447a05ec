// The crash watch and the monitor pass: crashes with and without auto-restart,
// the restart-loop rule, the periodic jobs, and what the status replies drive
// (round end, pause and resume, the idle map, the server version).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "fake_console.h"
#include "fake_status.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "loopback_pair.h"
#include "maps/rotation.h"
#include "process/server_process.h"
#include "remote/jobs.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "schedule/scheduler.h"
#include "state_fixture.h"

namespace keldor {
namespace {

class Monitor : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    PinClock(1700000000);
    Opts().settingsDir = dir_.path();
    StatusReplyBuffer().assign(kStatusReplySize, '\0');
  }
  std::vector<std::uint32_t> QueuedCodes() const {
    std::vector<std::uint32_t> codes;
    for (const auto& job : JobQueue()) {
      if (job.code != 0) codes.push_back(job.code);
    }
    return codes;
  }
  // A supervised server that cannot be found: every crash-watch pass is a crash.
  void Supervise() {
    GameServer().monitoring = true;
    GameServer().pid = 999999;
    Watch().launchTime = Now();
  }
};

TEST_F(Monitor, OnlyTheThirdCrashWithinAMinuteOfTheLaunchIsARestartLoop) {
  Supervise();
  Opts().autoRestart = true;
  // The restart itself is refused (no address), so supervision stays on and the
  // launch time stays where it was. Crashes a minute after it neither count nor reset.
  AdvanceClock(61);
  for (int pass = 0; pass < 4; ++pass) CrashWatch();
  EXPECT_EQ(CountLogged("Server is in a restart loop"), 0);
  EXPECT_EQ(Watch().restartLoopCount, 0);
  EXPECT_TRUE(GameServer().monitoring);

  Watch().launchTime = Now();
  for (int pass = 1; pass <= 3; ++pass) {
    AdvanceClock(10);
    CrashWatch();
  }
  EXPECT_EQ(CountLogged("Auto-restart is enabled, restarting the server."), 4 + 2);
  EXPECT_EQ(CountLogged("Server is in a restart loop, disabling auto-restart."), 1);
  EXPECT_FALSE(GameServer().monitoring);
  EXPECT_EQ(Watch().restartLoopCount, 0);  // StopServer resets it
}

// A launched child that does not look like the server yet (as between its
// exec and taking its new name) has not crashed; once it has ended it has.
TEST_F(Monitor, AChildThatHasNotEndedIsNoCrashHoweverItLooks) {
  int hold[2];
  ASSERT_EQ(pipe(hold), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte;
    close(hold[1]);
    _exit(read(hold[0], &byte, 1) == 0 ? 0 : 1);  // until the test lets go
  }
  close(hold[0]);
  Supervise();
  GameServer().pid = child;
  CrashWatch();
  EXPECT_FALSE(Logged("Server has crashed"));
  EXPECT_TRUE(GameServer().monitoring);

  close(hold[1]);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  CrashWatch();
  EXPECT_TRUE(Logged("Server has crashed"));
  waitpid(child, nullptr, 0);
}

TEST_F(Monitor, ConsolePollIsQueuedOnceWhileCredentialsAreInUse) {
  MonitorServer();
  EXPECT_TRUE(QueuedCodes().empty());
  GameServer().consoleUser = "admin";
  MonitorServer();
  MonitorServer();
  EXPECT_EQ(QueuedCodes(), (std::vector<std::uint32_t>{JOB_CONSOLE_POLL}));
}

// A connected console and a status port that answers what the test says.
class MonitorWithGame : public Monitor {
 protected:
  void SetUp() override {
    Monitor::SetUp();
    console_.SetResponder([](const fake::ConsoleRequest&) { return fake::Reply({}); });
    console_.PrepareKeldor();
    ASSERT_TRUE(ConnectConsole());
    Row(Setting::ServerInternet).current = 0;
    Row(Setting::GameSpyLANPort).current = status_.port();
    Row(Setting::ServerPort).current = 15567;
    status_.AnswerInfo({"hostport", "15567"});
    ASSERT_TRUE(FindStatusPort());
    auto [daemon, client] = listener_.Pair();
    Connections()[1] = Connection{daemon, "watcher", "127.0.0.1:1", 0xFFFFFFFF, {}};
    client_ = client;
  }
  void TearDown() override {
    close(client_);
    Monitor::TearDown();
  }
  void Pass(const std::vector<std::string>& info) {
    status_.AnswerInfo(info);
    MonitorServer();
  }
  // The notification codes the client has received so far.
  std::vector<std::uint32_t> Notes() {
    received_ += testing::ReceiveAvailable(client_);
    std::vector<std::uint32_t> codes;
    for (std::size_t at = 0; at + 8 <= received_.size();
         at += 8 + testing::WordFrom(received_, at + 4)) {
      codes.push_back(testing::WordFrom(received_, at));
    }
    return codes;
  }

  fake::FakeConsole console_;
  fake::FakeStatusServer status_;
  testing::LoopbackListener listener_;
  int client_ = -1;
  std::string received_;
};

TEST_F(MonitorWithGame, PauseAndResumeAreEachToldOnce) {
  Pass({"gamemode", "pause"});
  Pass({"gamemode", "pause"});
  Pass({"gamemode", "openplaying"});
  Pass({"gamemode", "openplaying"});
  EXPECT_EQ(Notes(), (std::vector<std::uint32_t>{NOTE_GAME_PAUSED, NOTE_GAME_RESUMED}));
}

TEST_F(MonitorWithGame, RoundEndClearsTheOverrideAndReleasesAPendingEvent) {
  SetCurrentMapOverride("hue GPM_CQ bfvietnam");
  PendingEndOfGameEvent() = {1234, GameServer().pid, false};
  Pass({"gamemode", "end"});
  EXPECT_TRUE(CurrentMapOverride().empty());
  EXPECT_TRUE(PendingEndOfGameEvent().roundEnded);
  Pass({"gamemode", "end"});  // the next pass fires it
  EXPECT_EQ(PendingEndOfGameEvent().time, 0u);
  EXPECT_FALSE(PendingEndOfGameEvent().roundEnded);
}

TEST_F(MonitorWithGame, AnIdleServerGoesToTheIdleMapUnlessItIsThere) {
  Watch().idleMapCombo = "khe_sanh GPM_CQ bfvietnam";
  Watch().currentMapCombo = "hue GPM_CQ bfvietnam";
  for (int pass = 0; pass < 100; ++pass) Pass({"numplayers", "0"});
  EXPECT_EQ(CountLogged("Server is idle, changing to idle map combo khe_sanh GPM_CQ bfvietnam."),
            1);
  EXPECT_EQ(Watch().idleCount, 0u);

  ClearJobQueue();
  Watch().currentMapCombo = "KHE_SANH GPM_CQ bfvietnam";
  for (int pass = 0; pass < 100; ++pass) Pass({"numplayers", "0"});
  EXPECT_EQ(CountLogged("Server is idle"), 1);
}

TEST_F(MonitorWithGame, VersionIsLearnedOnceAndNewerOnesAreWarnedAbout) {
  Pass({"gamever", "v1.1", "sv_punkbuster", "1"});
  EXPECT_FLOAT_EQ(DetectedServerVersion(), 1.1f);
  EXPECT_TRUE(PunkBusterEnabled());
  EXPECT_EQ(CountLogged("WARNING: This version of Keldor is intended for BF v1.02 and may not work "
                        "correctly with this v1.10 server."),
            1);
  Pass({"gamever", "v1.5", "sv_punkbuster", "0"});
  EXPECT_FLOAT_EQ(DetectedServerVersion(), 1.1f);
  EXPECT_EQ(CountLogged("WARNING: This version"), 1);
}

TEST_F(MonitorWithGame, ConsoleEventsReachEveryClient) {
  console_.SetResponder([](const fake::ConsoleRequest&) {
    return fake::Reply({"##-- [All] Bob: hi", "done"});
  });
  ASSERT_NE(SendConsoleMessage("game.sayAll \"x\""), nullptr);
  EXPECT_EQ(Notes(), (std::vector<std::uint32_t>{NOTE_CONSOLE_EVENT}));
  EXPECT_NE(received_.find(std::string("[All] Bob: hi\0", 14)), std::string::npos);
  EXPECT_EQ(CountLogged("# [All] Bob: hi"), 1);
}

}  // namespace
}  // namespace keldor
