// Logins through the real keldor and keldorctl: every refused login with its
// log line and the client's text (a wrong protocol byte among them), the
// same-name rule and NOTE_DISCONNECT to every client at shutdown; and logins
// under attack: guesses slowed, between good logins of one's own and beside
// the administrator's from elsewhere, connections opened before a lockout,
// what a shut-out client is told, idle connections from one address,
// overlapping logins to one account, and account names that would forge a
// line of the client list.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "wire/cipher.h"

namespace keldor::e2e {
namespace {

class LoginSecurity : public KeldorHarness {
 protected:
  void SetUp() override {
    StartKeldor(Account("admin", "secret", 0xFFFFFFFF) + Account("mallory", "own", 0x20) +
                Account("ev\"il", "pw", 0x20) + Account("alice", "wonder", kAlice) +
                Account("off", "pw", 0x40, 0) + Account("nobody", "pw", 0));
  }
  std::pair<int, std::string> Ping(const std::string& user, const std::string& password) {
    return RunAs(user, password, {"ping"});
  }
  static constexpr std::uint32_t kAlice = 0x60;  // T and M
  // Wrong passwords for admin, sent at once; each is answered 2 (held a while).
  // Meanwhile the administrator gets in from another address, unstalled.
  void Guess(int count) {
    std::vector<std::unique_ptr<RawClient>> guesses;
    for (int k = 0; k < count; ++k) {
      guesses.push_back(std::make_unique<RawClient>(port_));
      guesses.back()->SendCredentials("admin", "guess" + std::to_string(k));
    }
    RawClient admin(port_, "127.0.0.2");
    EXPECT_TRUE(admin.LogIn("admin", "secret"));
    EXPECT_TRUE(admin.Pings());
    for (auto& guess : guesses) ASSERT_EQ(guess->Read(2), "\x02");
  }
};

TEST_F(LoginSecurity, GuessesAreSlowedAndGoodLoginsOrEarlyConnectionsBuyNoMore) {
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 2; ++round) {
    Guess(3);
    RawClient own(port_);
    ASSERT_TRUE(own.LogIn("mallory", "own")) << round;
  }
  RawClient early(port_);  // opened before the lockout starts
  Guess(2);
  // The eighth was held for 7 steps of half a second: a lower bound only.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
  EXPECT_TRUE(
      Logged("SECURITY ALERT! 8 failed logins from 127.0.0.1 for user account (admin) "
             "within 10 minutes: its logins to that account are refused for 10 minutes."))
      << Log();
  EXPECT_TRUE(Logged("failed to authenticate! Bad password (********) for user account (admin)."));
  EXPECT_FALSE(Logged("guess"));

  early.SendCredentials("admin", "secret");
  EXPECT_EQ(early.Read(3), "\x05\x0a");  // no access, 10 minutes left
  const auto [status, output] = RunAs("Admin", "secret", {"ping"});
  EXPECT_EQ(status, 3);
  EXPECT_EQ(output,
            "keldorctl: login refused: too many failed logins from this address; try "
            "again in 10 minutes\n");
  EXPECT_EQ(CountLogged("refused: too many failed logins (10 minutes left)."), 1) << Log();
  // Only that account, only from that address.
  EXPECT_TRUE(RawClient(port_).LogIn("mallory", "own"));
  EXPECT_TRUE(RawClient(port_, "127.0.0.2").LogIn("admin", "secret"));
}

TEST_F(LoginSecurity, IdleConnectionsFromOneAddressLeaveRoomForOthers) {
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int k = 0; k < 40; ++k) idle.push_back(std::make_unique<RawClient>(port_));
  ASSERT_TRUE(WaitFor([&] { return Logged("logins from its address are already in progress."); }));
  EXPECT_TRUE(RawClient(port_, "127.0.0.2").LogIn("admin", "secret"));
  // In before any idle connection reached its deadline and gave its place up.
  EXPECT_FALSE(Logged("Connection timed out")) << Log();
  EXPECT_EQ(CountLogged("SECURITY ALERT! Client at 127.0.0.1 refused: 4 logins from its address "
                        "are already in progress."),
            1);
}

TEST_F(LoginSecurity, OverlappingLoginsToOneAccountLetOnlyOneIn) {
  std::vector<std::unique_ptr<RawClient>> clients;
  for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    clients.push_back(std::make_unique<RawClient>(port_, from));
    clients.back()->SendCredentials("Mallory", "own");
  }
  std::string results;
  for (auto& client : clients) results += client->Read(1);
  std::sort(results.begin(), results.end());
  EXPECT_EQ(results, std::string("\0\x06\x06", 3));
}

TEST_F(LoginSecurity, NamesThatCouldForgeALineAreNeitherLoadedStoredNorLoggedIn) {
  EXPECT_TRUE(Logged("WARNING: Skipped account ev?il in ")) << Log();
  // It would close the quoted name of a client list line and start another.
  const std::string forged = "m\",9,10.0.0.1:1,Connected,*\n\"x";
  const std::string filler(32, 'f');
  const std::string upload = dir_ / "users.up";
  WriteFile(upload, Account("admin", "secret", 0xFFFFFFFF) +
                        EncipherField(forged, kNameFieldSize, filler) + "," +
                        EncipherField("pw", kPasswordFieldSize, filler) + ",hash,32,1\n");
  const auto [status, output] = RunAs("admin", "secret", {"put", "users", upload});
  ASSERT_EQ(status, 0) << output;
  EXPECT_TRUE(
      Logged("attempted to store user account m??9?10.0.0.1:1?Connected?*??x, whose "
             "name holds a double quote, comma or control character!"))
      << Log();
  // Neither that name nor one with a control byte gets in or reaches the log raw.
  RawClient forger(port_);
  forger.SendCredentials(forged, "pw");
  EXPECT_EQ(forger.Read(2), "\x01");
  RawClient control(port_, "127.0.0.2");
  control.SendCredentials("ad\x1bmin", "secret");
  EXPECT_EQ(control.Read(2), "\x01");
  EXPECT_TRUE(WaitFor([&] { return Logged("Bad username (ad?min)."); })) << Log();
}

TEST_F(LoginSecurity, RefusedLoginsShowTheErrorTextsAndLogTheirLines) {
  struct Case {
    std::string user, password, shown, logged;
  };
  const std::vector<Case> cases = {
      {"mallet", "x", "The specified username is invalid.",
       "failed to authenticate! Bad username (mallet)."},
      {"alice", "guess", "The specified password is invalid.",
       "failed to authenticate! Bad password (********) for user account (alice)."},
      {"off", "pw", "The specified user account is disabled.",
       "failed to authenticate! User account (off) is inactive."},
      {"nobody", "pw", "no access rights", ""},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(Says(Ping(c.user, c.password), 3, c.shown));
    EXPECT_TRUE(Logged("SECURITY ALERT! Client at 127.0.0.1:") && Logged(c.logged)) << Log();
  }
  EXPECT_FALSE(Logged("guess"));  // a password typed is never logged

  // A wrong protocol byte is refused after the rights and the version were sent.
  RawClient client(port_);
  client.SendCredentials("alice", "wonder");
  EXPECT_EQ(client.Read(6), std::string(1, '\0') + Word(kAlice) + "\x8c");
  client.Send(std::string(1, '\x8b'));
  EXPECT_EQ(client.Read(1), "");  // closed without the running flag
  EXPECT_TRUE(WaitFor([&] {
    return Logged("failed to authenticate! Client is using a different protocol version.");
  }));
  EXPECT_FALSE(Logged("connected as user"));

  WriteAccounts("");  // read at every login
  EXPECT_TRUE(Says(Ping("admin", "secret"), 3, "No user accounts exist."));
  EXPECT_TRUE(Logged("failed to authenticate! No remote access is permitted."));
}

TEST_F(LoginSecurity, ASecondLoginUnderOneNameNeedsTheRight) {
  auto watch = Ctl({"--user", "alice", "--password", "wonder", "watch"});
  ASSERT_TRUE(WaitFor([&] { return Logged("connected as user alice"); }));
  EXPECT_TRUE(Says(Ping("Alice", "wonder"), 3, "already logged in"));
  EXPECT_EQ(CountLogged("connected as user"), 1);
}

TEST_F(LoginSecurity, ShutdownSendsDisconnectToEveryClient) {
  auto watch = Ctl({"--user", "alice", "--password", "wonder", "watch"});
  auto raw = std::make_unique<RawClient>(port_);
  ASSERT_TRUE(raw->LogIn("admin", "secret"));
  ASSERT_TRUE(WaitFor([&] { return CountLogged("connected as user") == 2; }));

  keldor_->Signal(SIGTERM);
  EXPECT_EQ(raw->Read(8), Word(NOTE_DISCONNECT) + Word(0));
  EXPECT_EQ(watch->Wait(), 0);
  EXPECT_TRUE(watch->Output().ends_with(" NOTE_DISCONNECT\n")) << watch->Output();
  raw.reset();  // the drain ends once every client has gone
  EXPECT_EQ(keldor_->Wait(), 15);
  EXPECT_EQ(CountLogged("has disconnected."), 2);
  EXPECT_TRUE(Logged(" : Exited"));
}

}  // namespace
}  // namespace keldor::e2e
