// A game server that hangs with its process alive (gamesim's "hang", or a
// SIGSTOP): with -restart -hang 2 it is reported, a watching client hears
// NOTE_SERVER_HUNG before the crash, and it is killed and started again with
// its console reconnected; without -restart it is reported once, left running,
// and its recovery is logged. That nothing happens without -hang, and that more
// silent passes report nothing more, is in the unit tests (HangWatch).
#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

class Hang : public KeldorHarness {
 protected:
  void Start(const std::vector<std::string>& options) {
    std::vector<std::string> extra{"-start", "-hang", "2"};
    extra.insert(extra.end(), options.begin(), options.end());
    StartKeldor(Account("op", "pw", 0xFFFFFFFF), "--server-binary " + BinaryPath("gamesim"), extra);
    ASSERT_TRUE(WaitFor([&] { return Logged(" : Connected\r\n"); }, 40)) << Log();
  }
  pid_t GamePid() const { return e2e::GamePid(dir_.path()); }
  // The server after `old` runs and its console is the `connections`th to connect.
  bool Restarted(pid_t old, int connections) {
    return WaitFor([&] { return GamePid() != old && Alive(GamePid()); }, 20) &&
           WaitFor([&] { return CountLogged(" : Connected\r\n") == connections; }, 20);
  }
};

TEST_F(Hang, AHungOrStoppedServerIsReportedKilledAndStartedAgain) {
  Start({"-restart"});
  auto watch = Ctl({"--user", "op", "--password", "pw", "watch"});
  ASSERT_TRUE(WaitFor([&] { return Logged("connected as user op"); }));
  const pid_t first = GamePid();
  ASSERT_EQ(Sim("hang on"), "ok on");
  // Two silent passes of 3 seconds, and the one that saw the last answer.
  ASSERT_TRUE(WaitFor([&] { return Logged("Server is not responding (no answer"); }, 15)) << Log();
  EXPECT_TRUE(WaitFor([&] {
    return Logged("Killing the hung server (pid " + std::to_string(first) + ") to restart it.");
  }));
  ASSERT_TRUE(Restarted(first, 2)) << Log();
  EXPECT_FALSE(Alive(first));
  EXPECT_TRUE(Logged("Server was killed by signal 9 (SIGKILL)."));
  ASSERT_TRUE(
      WaitFor([&] { return watch->Output().find("NOTE_SERVER_CRASHED") != std::string::npos; }));
  const std::string notes = watch->Output();
  EXPECT_LT(notes.find("NOTE_SERVER_HUNG"), notes.find("NOTE_SERVER_CRASHED")) << notes;

  // A stopped process answers nothing and dies of SIGKILL all the same.
  const pid_t second = GamePid();
  ASSERT_EQ(kill(second, SIGSTOP), 0);
  ASSERT_TRUE(WaitFor([&] { return CountLogged("Server is not responding") == 2; }, 15)) << Log();
  ASSERT_TRUE(Restarted(second, 3)) << Log();
  EXPECT_EQ(CountLogged("Killing the hung server"), 2);
  // Two quick crashes are not yet a restart loop.
  EXPECT_FALSE(Logged("restart loop"));
}

TEST_F(Hang, WithoutRestartAHangIsReportedOnceAndItsEndLogged) {
  Start({});
  const pid_t server = GamePid();
  ASSERT_EQ(Sim("hang on"), "ok on");
  ASSERT_TRUE(WaitFor([&] { return Logged("Server is not responding"); }, 15)) << Log();
  ASSERT_EQ(Sim("hang off"), "ok off");
  ASSERT_TRUE(WaitFor([&] { return Logged("Server is responding again."); }, 10)) << Log();
  EXPECT_EQ(CountLogged("Server is not responding"), 1);
  EXPECT_FALSE(Logged("Killing the hung server"));
  EXPECT_EQ(GamePid(), server);
  EXPECT_TRUE(Alive(server));
  EXPECT_TRUE(WaitFor([&] { return CountLogged(" : Connected\r\n") == 2; }, 10)) << Log();
}

}  // namespace
}  // namespace keldor::e2e
