// The real keldor and keldorctl on loopback: every login result with its log
// line and the client's text (a wrong protocol byte among them), the 17th
// client, the same-name rule, ping, status, and NOTE_DISCONNECT to every client
// at shutdown.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

class Client : public KeldorHarness {
 protected:
  void SetUp() override {
    StartKeldor(Account("admin", "secret", 0xFFFFFFFF) + Account("alice", "wonder", kAlice) +
                Account("off", "pw", 0x40, 0) + Account("nobody", "pw", 0));
  }
  std::pair<int, std::string> Ping(const std::string& user, const std::string& password) {
    return RunAs(user, password, {"ping"});
  }
  static constexpr std::uint32_t kAlice = 0x60;  // T and M
};

TEST_F(Client, RefusedLoginsShowTheErrorTextsAndLogTheirLines) {
  struct Case {
    std::string user, password, shown, logged;
  };
  const std::vector<Case> cases = {
      {"mallory", "x", "The specified username is invalid.",
       "failed to authenticate! Bad username (mallory)."},
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

TEST_F(Client, PingStatusAndCredentialsFromTheEnvironment) {
  auto [status, output] = Ping("ADMIN", "secret");
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "pong\n");
  EXPECT_TRUE(Logged("connected as user ADMIN with access -- admin --."));
  setenv("KELDOR_USER", "alice", 1);
  setenv("KELDOR_PASSWORD", "wonder", 1);
  std::tie(status, output) = RunCtl({"status"});
  unsetenv("KELDOR_USER");
  unsetenv("KELDOR_PASSWORD");
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(Logged("connected as user alice with access sgfiaTMpbuhc."));
  for (const char* line : {"Server state    Stopped\n", "Console         Disconnected\n"}) {
    EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
  }
}

TEST_F(Client, SecondLoginUnderOneNameNeedsTheRightAndTheSeventeenthIsRefused) {
  auto watch = Ctl({"--user", "alice", "--password", "wonder", "watch"});
  ASSERT_TRUE(WaitFor([&] { return Logged("connected as user alice"); }));
  EXPECT_TRUE(Says(Ping("Alice", "wonder"), 3, "already logged in"));
  EXPECT_EQ(CountLogged("connected as user"), 1);

  // The administrator may log in many times: fill the other 15 slots.
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int k = 0; k < 15; ++k) {
    clients.push_back(std::make_unique<RawClient>(port_));
    ASSERT_TRUE(clients.back()->LogIn("admin", "secret")) << k;
  }
  EXPECT_TRUE(Says(Ping("admin", "secret"), 3, "maximum number of connected clients"));
  EXPECT_TRUE(Logged("Maximum number of connected clients (16) has been reached."));
}

TEST_F(Client, ShutdownSendsDisconnectToEveryClient) {
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
