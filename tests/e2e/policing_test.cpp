// Players and policing end to end: keldor supervises gamesim, keldorctl lists
// the player table, and a player whose score falls too low is kicked and, on
// the next offence, banned, which a watching client sees as it happens.
#include <gtest/gtest.h>

#include <regex>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kAdmin = 0xFFFFFFFF;

using Policing = KeldorHarness;

TEST_F(Policing, TheTableIsListedAndMinusScoresAreKickedThenBannedAsWatchersSee) {
  StartKeldor(Account("admin", "secret", kAdmin), "--server-binary " + BinaryPath("gamesim"),
              {"-start", "-nodelay"},
              "manager.autoKickScore 1\nmanager.autoKickScoreValue -6\nmanager.autoBan 1\n"
              "manager.autoBanValue 2\nmanager.monitorTimerPeriod 10\n");
  ASSERT_TRUE(WaitFor([&] { return Logged(" : Connected\r\n"); }, 40)) << Log();

  const std::string alice = Sim("add Alice team=2 score=3 ping=40 ip=10.1.2.3 keyhash=none");
  ASSERT_EQ(alice.rfind("ok ", 0), 0u) << alice;
  ASSERT_EQ(Sim("bot Robo").rfind("ok ", 0), 0u);
  const auto [status, listed] = RunAs("admin", "secret", {"players"});
  EXPECT_EQ(status, 0) << listed;
  EXPECT_TRUE(std::regex_search(
      listed, std::regex("(^|\n)\"Alice\"," + alice.substr(3) +
                         ",usa,3,[0-9]+,[0-9]+,40,10\\.1\\.2\\.3,\\[unknown\\],\\[unknown\\]\n")))
      << listed;
  EXPECT_EQ(listed.find("Robo"), std::string::npos) << listed;

  const int logins = CountLogged("connected as user admin");
  auto watch = Ctl({"--user", "admin", "--password", "secret", "watch"});
  ASSERT_TRUE(WaitFor([&] { return CountLogged("connected as user admin") > logins; })) << Log();
  const std::string hash(32, 'B');
  const std::string bob = "add Bob team=1 score=-7 ip=10.9.9.9 keyhash=" + hash;
  ASSERT_EQ(Sim(bob).rfind("ok ", 0), 0u);
  ASSERT_TRUE(WaitFor([&] { return Sim("players").find("Bob") == std::string::npos; }, 40))
      << Log();
  EXPECT_EQ(ReadFile(SettingsPath("kicklist.con")), "10.9.9.9\n");
  ASSERT_EQ(Sim(bob).rfind("ok ", 0), 0u);  // back for a second offence: banned
  ASSERT_TRUE(
      WaitFor([&] { return watch->Output().find("NOTE_BANS_CHANGED") != std::string::npos; }, 40))
      << watch->Output() << Log();
  watch->Signal(SIGINT);
  watch->Wait();
  const std::string seen = watch->Output();
  EXPECT_TRUE(std::regex_search(seen, std::regex(" NOTE_AUTO_KICK_SCORE Bob\n"))) << seen;
  EXPECT_TRUE(std::regex_search(seen, std::regex(" NOTE_AUTO_BAN_SCORE Bob\n"))) << seen;
  EXPECT_EQ(Sim("get lastmessage"), "ok [KELDOR] Banned Bob for too many minus-score kicks");
  EXPECT_TRUE(Logged("Auto-kicked Bob (" + hash + ") at 10.9.9.9 for minus-score (-7)."));
  const std::string record =
      "^\"Bob\",10\\.9\\.9\\.9," + hash + ",\\[unknown\\],\"auto\",[0-9]+,[^,]+,";
  const std::string adminLog = ReadFile(dir_ / "adminlog.csv");
  EXPECT_TRUE(std::regex_search(adminLog, std::regex(record + "kick,0,minus-score\n" +
                                                     record.substr(1) + "ban,0,minus-score\n")))
      << adminLog;
}

}  // namespace
}  // namespace keldor::e2e
