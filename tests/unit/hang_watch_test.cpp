// The hang watch on a real stand-in server process with a pinned clock: the
// count, its start at the first answer since the launch and its reset, the
// status probe read without waiting, and the kill counted as a quick crash.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <filesystem>

#include "core/clock.h"
#include "fake_status.h"
#include "gamelink/console.h"
#include "process/server_process.h"
#include "runtime/game_server.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor {
namespace {

class HangWatch : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    PinClock(1700000000);
    Opts().hangPasses = 3;
    // Probes go to a port that answers only when a test says so.
    Row(Setting::ServerIP).current = 0x7F000001;
    Row(Setting::ServerInternet).current = 0;
    Row(Setting::GameSpyLANPort).current = status_.port();
    std::filesystem::copy_file(FAKE_SERVER_PATH, dir_ / "bfv_linded");
    server_ = fork();
    if (server_ == 0) {
      setsid();
      if (chdir(dir_.path().c_str()) == 0) execl("./bfv_linded", "bfv_linded", nullptr);
      _exit(127);
    }
    testing::WaitFor([&] { return testing::Exists(dir_ / "launch.txt"); }, 5);
    GameServer().pid = server_;
    GameServer().monitoring = true;
    Watch().launchTime = MonotonicNow();
  }
  void TearDown() override {
    if (server_ > 0 && kill(server_, SIGKILL) == 0) waitpid(server_, nullptr, 0);
    StateTest::TearDown();
  }
  // Monitor passes 3 s apart; with `console` the game answered over its console
  // within the pass's millisecond, as the monitor's own status query is answered.
  void Passes(int count, bool console = false) {
    for (int i = 0; i < count; ++i) {
      AdvanceClock(3);
      if (console) Console().lastReceivedAt = MonotonicMilliseconds();
      WatchForHang();
    }
  }

  fake::FakeStatusServer status_;
  pid_t server_ = 0;
};

TEST_F(HangWatch, CountsFromTheFirstAnswerReportsOnceAndStartsAgainOnAnAnswer) {
  Passes(10);  // said nothing since its launch: perhaps loading its map
  EXPECT_FALSE(Logged("Server is not responding"));
  Opts().hangPasses = 0;  // off
  Passes(1, true);
  Passes(10);
  EXPECT_FALSE(Logged("Server is not responding"));
  Opts().hangPasses = 3;

  Passes(1, true);
  Passes(2);
  EXPECT_FALSE(Logged("Server is not responding"));
  Passes(1);
  EXPECT_TRUE(
      Logged("Server is not responding (no answer from its console or status query for 9 "
             "seconds)."))
      << Log();
  Passes(5);
  EXPECT_EQ(kill(server_, 0), 0);  // without -restart it is left alone
  Passes(1, true);
  EXPECT_EQ(CountLogged("Server is responding again."), 1);
  Passes(2);
  Passes(1, true);
  Passes(2);
  EXPECT_EQ(CountLogged("Server is not responding"), 1);
  Passes(1);
  EXPECT_EQ(CountLogged("Server is not responding"), 2);
}

TEST_F(HangWatch, AProbeReplyCountsAndNoPassWaitsForIt) {
  status_.AnswerInfo({"hostport", "15567"});
  for (int i = 0; i < 6; ++i) {
    Passes(1);
    testing::WaitFor([] { return false; }, 0.2);  // the reply arrives before the next pass
  }
  EXPECT_FALSE(Logged("Server is not responding"));
  status_.SetReply({});
  const auto start = std::chrono::steady_clock::now();
  Passes(4);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_TRUE(Logged("Server is not responding")) << Log();
}

TEST_F(HangWatch, WithRestartTheServerIsKilledOnceAndItsCrashIsAQuickOne) {
  Opts().autoRestart = true;
  Passes(1, true);
  Passes(3);
  ASSERT_TRUE(Logged("Killing the hung server (pid " + std::to_string(server_) + ")")) << Log();
  int status = 0;
  ASSERT_EQ(waitpid(server_, &status, 0), server_);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  server_ = 0;
  Passes(3);
  EXPECT_EQ(CountLogged("Killing the hung server"), 1);
  // The crash watch comes round after the first minute, the hang was found
  // within it. The restart is refused (no address): no new server.
  Row(Setting::ServerIP).current = 0;
  AdvanceClock(60);
  CrashWatch();
  EXPECT_TRUE(Logged("Server has crashed"));
  EXPECT_EQ(Watch().restartLoopCount, 1);
}

}  // namespace
}  // namespace keldor
