// The web console's gatekeeping: which Host and Origin values pass, the
// one-use login tokens, the session cookie, the login brake and when sessions
// end (on an explicit clock), and reading Keldor's ban list for the page.
#include <gtest/gtest.h>

#include "lists.h"
#include "security.h"

namespace keldorweb {
namespace {

using std::chrono::seconds;

TEST(WebSecurity, HostAndOriginMustNameThisConsole) {
  const HostCheck loopback("127.0.0.1", 8080, {});
  const HostCheck lan("0.0.0.0", 8080, {"console.lan"});
  struct Case {
    const HostCheck& check;
    const char* host;
    bool allowed;
  } cases[] = {
      {loopback, "127.0.0.1:8080", true},     {loopback, "LOCALHOST:8080", true},
      {loopback, "127.0.0.1:8081", false},    {loopback, "127.0.0.1", false},
      {loopback, "evil.example:8080", false}, {loopback, "", false},
      {lan, "console.lan:8080", true},        {lan, "0.0.0.0:8080", false},
      {lan, "localhost:8080", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.check.HostAllowed(c.host), c.allowed) << c.host;
    EXPECT_EQ(c.check.OriginAllowed(std::string("http://") + c.host), c.allowed) << c.host;
  }
  for (const char* origin : {"", "null", "https://127.0.0.1:8080", "http://127.0.0.1:8080.evil.com",
                             "http://127.0.0.1:8080/", "127.0.0.1:8080"}) {
    EXPECT_FALSE(loopback.OriginAllowed(origin)) << origin;
  }
}

TEST(WebSecurity, LoginTokensServeOnceWhileFreshAndOnlyTheNewestAreKept) {
  LoginTokens tokens;
  const TimePoint start;
  const std::string first = tokens.Issue(start);
  const std::string second = tokens.Issue(start);
  EXPECT_EQ(first.size(), 32U);
  EXPECT_NE(first, second);
  EXPECT_FALSE(tokens.Consume("", start));
  EXPECT_FALSE(tokens.Consume("0123456789abcdef0123456789abcdef", start));
  EXPECT_TRUE(tokens.Consume(first, start));
  EXPECT_FALSE(tokens.Consume(first, start)) << "a token serves once";
  EXPECT_FALSE(tokens.Consume(second, start + LoginTokens::kLifetime + seconds(1)));

  const std::string oldest = tokens.Issue(start);
  std::string newest;
  for (std::size_t k = 0; k < LoginTokens::kCapacity; ++k) newest = tokens.Issue(start);
  EXPECT_FALSE(tokens.Consume(oldest, start));
  EXPECT_TRUE(tokens.Consume(newest, start));
}

TEST(WebSecurity, CookieIsFoundOnlyUnderItsExactName) {
  EXPECT_EQ(CookieValue("a=1; keldor_web=abc; b=2", kCookieName), "abc");
  EXPECT_EQ(CookieValue("keldor_web=abc", kCookieName), "abc");
  EXPECT_EQ(CookieValue("keldor_webx=abc; xkeldor_web=def", kCookieName), "");
  EXPECT_EQ(CookieValue("", kCookieName), "");
  EXPECT_EQ(CookieValue(";;keldor_web", kCookieName), "");
}

TEST(WebSecurity, LoginBrakeLocksAGuesserOutBeforeKeldorWouldAndSparesOthers) {
  using std::chrono::milliseconds;
  using Verdict = LoginBrake::Verdict;
  LoginBrake brake;
  const TimePoint t0;
  const std::string guesser = "192.0.2.7";
  // Answers come later with each failure; a success in between forgets nothing.
  for (int k = 0; k < LoginBrake::kFailuresBeforeLockout; ++k) {
    ASSERT_EQ(brake.Begin(guesser, t0), Verdict::kGo) << k;
    if (k == 2) {
      brake.End(guesser, false, t0);
      ASSERT_EQ(brake.Begin(guesser, t0), Verdict::kGo);
    }
    EXPECT_EQ(brake.End(guesser, true, t0), milliseconds(500 * k)) << k;
  }
  EXPECT_EQ(brake.Begin(guesser, t0 + seconds(1)), Verdict::kLocked);
  EXPECT_EQ(brake.LockedFor(guesser, t0 + seconds(1)), seconds(599));
  EXPECT_EQ(LockoutText(seconds(1)),
            "too many failed logins from this address; try again in 1 minute");
  EXPECT_EQ(brake.Begin("192.0.2.8", t0), Verdict::kGo) << "another address";

  // Many other addresses cannot push the lock-out out of the table.
  for (std::size_t k = 0; k < 2 * LoginBrake::kCapacity; ++k) {
    const std::string other = "10.0." + std::to_string(k / 256) + "." + std::to_string(k % 256);
    brake.Begin(other, t0 + seconds(2));
    brake.End(other, true, t0 + seconds(2));
  }
  EXPECT_EQ(brake.Begin(guesser, t0 + seconds(3)), Verdict::kLocked);
  // Over after its time, with a clean slate.
  EXPECT_EQ(brake.LockedFor(guesser, t0 + LoginBrake::kLockout), seconds(0));
  EXPECT_EQ(brake.Begin(guesser, t0 + LoginBrake::kLockout), Verdict::kGo);
  EXPECT_EQ(brake.End(guesser, true, t0 + LoginBrake::kLockout), milliseconds(0));
}

TEST(WebSecurity, LoginBrakeCountsLoginsUnderWayAsPossibleFailures) {
  using Verdict = LoginBrake::Verdict;
  LoginBrake brake;
  const TimePoint t0;
  const std::string a = "192.0.2.7";
  // Fired all at once, they may not together pass the lock-out.
  for (int k = 0; k < LoginBrake::kFailuresBeforeLockout - 1; ++k) {
    ASSERT_EQ(brake.Begin(a, t0), Verdict::kGo);
    brake.End(a, true, t0);
  }
  ASSERT_EQ(brake.Begin(a, t0), Verdict::kGo);
  EXPECT_EQ(brake.Begin(a, t0), Verdict::kBusy);
  brake.End(a, false, t0);
  // Failures age out of the window; logins in flight are capped regardless.
  const TimePoint later = t0 + LoginBrake::kWindow;
  for (int k = 0; k < LoginBrake::kMaxInFlight; ++k) EXPECT_EQ(brake.Begin(a, later), Verdict::kGo);
  EXPECT_EQ(brake.Begin(a, later), Verdict::kBusy);
}

TEST(WebSecurity, SessionsEndWhenIdleOrWhenThePageIsGone) {
  const TimePoint t0;
  SessionTimer timer(seconds(100), seconds(20), t0);
  EXPECT_STREQ(timer.Expired(t0 + seconds(20)), "closed") << "no page ever came";

  SessionTimer open(seconds(100), seconds(20), t0);
  open.SocketOpened();
  open.SocketOpened();  // a reload: the new page opens before the old one closes
  open.SocketClosed(t0 + seconds(10));
  EXPECT_EQ(open.Expired(t0 + seconds(99)), nullptr);
  EXPECT_STREQ(open.Expired(t0 + seconds(100)), "idle");
  open.Touch(t0 + seconds(90));
  EXPECT_EQ(open.Expired(t0 + seconds(189)), nullptr);
  open.SocketClosed(t0 + seconds(150));
  EXPECT_EQ(open.Expired(t0 + seconds(169)), nullptr);
  EXPECT_STREQ(open.Expired(t0 + seconds(170)), "closed");
}

TEST(WebSecurity, BanListLinesThatLackAFieldAreSkipped) {
  const std::string list =
      "\"Evil, Inc\",1.2.3.4,*,*,\"admin\",100,0,cheating, badly\n"
      "\"Half\",1.2.3.4,*\n"
      "no quotes,1,2,3,\"a\",1,2,r\n"
      "\"[unknown]\",*,00112233445566778899aabbccddeeff,*,\"operator\",0,200,unknown reason\r\n";
  const auto bans = keldorclient::BansJson(list);
  ASSERT_EQ(bans.size(), 2U);
  EXPECT_EQ(bans[0]["name"], "Evil, Inc");
  EXPECT_EQ(bans[0]["address"], "1.2.3.4");
  EXPECT_TRUE(bans[0]["keyhash"].is_null());
  EXPECT_EQ(bans[0]["reason"], "cheating, badly");
  EXPECT_EQ(bans[1]["end"], 200);
  EXPECT_EQ(bans[1]["reason"], "unknown reason");
}

}  // namespace
}  // namespace keldorweb
