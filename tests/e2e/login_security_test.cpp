// Logins under attack: guessing one account between good logins of one's own,
// connections opened before a lockout, what a shut-out client is told, idle
// connections from one address, overlapping logins to one account, and
// account names that would forge a line of the client list.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "wire/cipher.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kAdmin = 0xFFFFFFFF;
constexpr std::uint32_t kStatusOnly = 0x20;
const std::string kLockoutAnswer = "\x05\x0a";  // no access, 10 minutes left

class LoginSecurity : public KeldorHarness {
 protected:
  void SetUp() override {
    StartKeldor(Account("admin", "secret", kAdmin) + Account("mallory", "own", kStatusOnly));
  }
  // Wrong passwords for admin, sent at once; each is answered 2 (held a while).
  void Guess(int count) {
    std::vector<std::unique_ptr<RawClient>> guesses;
    for (int k = 0; k < count; ++k) {
      guesses.push_back(std::make_unique<RawClient>(port_));
      guesses.back()->SendCredentials("admin", "guess" + std::to_string(k));
    }
    for (auto& guess : guesses) ASSERT_EQ(guess->Read(2), "\x02");
  }
};

TEST_F(LoginSecurity, GoodLoginsAndEarlyConnectionsDoNotBuyGuessesAndTheRefusedHearWhy) {
  // Guesses at admin between good logins to an account of the guesser's own.
  for (int round = 0; round < 2; ++round) {
    Guess(3);
    RawClient own(port_);
    ASSERT_TRUE(own.LogIn("mallory", "own")) << round;
  }
  // A connection opened before the lockout starts.
  RawClient early(port_);
  Guess(2);
  EXPECT_TRUE(
      Logged("SECURITY ALERT! 8 failed logins from 127.0.0.1 for user account (admin) "
             "within 10 minutes: its logins to that account are refused for 10 minutes."))
      << Log();
  EXPECT_TRUE(Logged("failed to authenticate! Bad password (********) for user account (admin)."))
      << Log();
  EXPECT_FALSE(Logged("guess"));

  early.SendCredentials("admin", "secret");
  EXPECT_EQ(early.Read(3), kLockoutAnswer);
  const auto [status, output] = RunAs("Admin", "secret", {"ping"});
  EXPECT_EQ(status, 3) << output;
  EXPECT_EQ(output,
            "keldorctl: login refused: too many failed logins from this address; try again in 10 "
            "minutes\n");
  // One line for both refusals: a flood of them cannot flood the log.
  EXPECT_EQ(CountLogged("refused: too many failed logins (10 minutes left)."), 1) << Log();

  // The lockout is of that account from that address only.
  RawClient own(port_);
  EXPECT_TRUE(own.LogIn("mallory", "own"));
  RawClient elsewhere(port_, "127.0.0.2");
  EXPECT_TRUE(elsewhere.LogIn("admin", "secret"));
}

TEST_F(LoginSecurity, IdleConnectionsFromOneAddressLeaveRoomForOthers) {
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int k = 0; k < 40; ++k) idle.push_back(std::make_unique<RawClient>(port_));
  ASSERT_TRUE(WaitFor([&] { return Logged("logins from its address are already in progress."); }))
      << Log();
  RawClient admin(port_, "127.0.0.2");
  EXPECT_TRUE(admin.LogIn("admin", "secret"));
  // In before any idle connection reached its deadline and gave its place up.
  EXPECT_FALSE(Logged("Connection timed out")) << Log();
  EXPECT_EQ(CountLogged("SECURITY ALERT! Client at 127.0.0.1 refused: 4 logins from its address "
                        "are already in progress."),
            1)
      << Log();
}

TEST_F(LoginSecurity, OverlappingLoginsToOneAccountLetOnlyOneIn) {
  std::vector<std::unique_ptr<RawClient>> clients;
  for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    clients.push_back(std::make_unique<RawClient>(port_, from));
  }
  for (auto& client : clients) client->SendCredentials("Mallory", "own");
  int accepted = 0;
  for (auto& client : clients) {
    const std::string result = client->Read(1);
    if (result == std::string(1, '\0')) {
      ++accepted;
    } else {
      EXPECT_EQ(result, "\x06");
    }
  }
  EXPECT_EQ(accepted, 1);
}

// A user list line whose name would close the quoted name of a client list
// line and start a forged one.
std::string ForgingLine(const std::string& name) {
  const std::string filler(32, 'f');
  return EncipherField(name, kNameFieldSize, filler) + "," +
         EncipherField("pw", kPasswordFieldSize, filler) + "," +
         EncipherField("00112233445566778899aabbccddeeff", kKeyHashFieldSize, filler) + ",32,1\n";
}

class AccountNames : public KeldorHarness {
 protected:
  void SetUp() override {
    StartKeldor(Account("admin", "secret", kAdmin) + Account("ev\"il", "pw", kStatusOnly));
  }
};

TEST_F(AccountNames, NamesThatCouldForgeALineAreNeitherLoadedStoredNorLoggedIn) {
  EXPECT_TRUE(Logged("WARNING: Skipped account ev?il in ")) << Log();
  const std::string forged = "m\",9,10.0.0.1:1,Connected,*\n\"x";
  const std::string upload = dir_ / "users.up";
  WriteFile(upload, Account("admin", "secret", kAdmin) + ForgingLine(forged));
  auto [status, output] = RunAs("admin", "secret", {"put", "users", upload});
  ASSERT_EQ(status, 0) << output;
  EXPECT_TRUE(
      Logged("attempted to store user account m??9?10.0.0.1:1?Connected?*??x, whose "
             "name holds a double quote, comma or control character!"))
      << Log();

  // Neither that name nor one with a control byte gets in, and neither reaches the log raw.
  RawClient forger(port_);
  forger.SendCredentials(forged, "pw");
  EXPECT_EQ(forger.Read(2), "\x01");
  RawClient control(port_, "127.0.0.2");
  control.SendCredentials("ad\x1bmin", "secret");
  EXPECT_EQ(control.Read(2), "\x01");
  EXPECT_TRUE(WaitFor([&] { return Logged("Bad username (ad?min)."); })) << Log();

  // The client list holds keldorctl alone, under the name as it typed it.
  const std::string list = dir_ / "clients.txt";
  std::tie(status, output) = RunAs("ADMIN", "secret", {"get", "clients", list});
  ASSERT_EQ(status, 0) << output;
  const std::string clients = ReadFile(list);
  EXPECT_EQ(clients.rfind("\"ADMIN\",1,127.0.0.1:", 0), 0U) << clients;
  EXPECT_EQ(std::count(clients.begin(), clients.end(), '"'), 2) << clients;
}

}  // namespace
}  // namespace keldor::e2e
