// Clients that try to stall the daemon: a login sent a byte a second, a
// connection that sends nothing, an upload that stops half-way, a download
// that is never read, a reset in the middle of a request, the 17th and 18th
// connection. An administrator beside them keeps getting answers; each hostile
// connection ends at its deadline with its log line, its slot is freed and no
// file changes. Password guessing is in login_security_test.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "wire/transfer_frame.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kAdmin = 0xFFFFFFFF;

class Hostile : public KeldorHarness {
 protected:
  void SetUp() override { StartKeldor(Account("admin", "secret", kAdmin)); }

  std::unique_ptr<RawClient> LoggedIn() {
    auto client = std::make_unique<RawClient>(port_);
    if (!client->LogIn("admin", "secret")) ADD_FAILURE() << "login refused";
    return client;
  }
  // A ping answered with a pong, and a status request answered with a text.
  static void StillAnswers(RawClient& admin) {
    admin.SendWord(REQ_PING);
    ASSERT_EQ(admin.ReadWord(), NOTE_PONG);
    ASSERT_EQ(admin.ReadWord(), 0u);
    admin.SendWord(REQ_GET_STATUS);
    const std::uint32_t length = admin.ReadWord();
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, 100000u);
    ASSERT_EQ(admin.Read(length).size(), length);
  }
};

TEST_F(Hostile, NoClientStallsTheAdministratorAndEachEndsAtItsDeadline) {
  auto admin = LoggedIn();
  const std::string rotation = ReadFile(SettingsPath("servermaplist.con"));
  // A ban list too large for the sockets' buffers, and that does not compress.
  std::string bans(12 * 1024 * 1024, '\0');
  std::mt19937 random(7);
  for (char& c : bans) c = static_cast<char>(random());
  WriteFile(SettingsPath("serverbanlist.con"), bans);

  RawClient trickle(port_);
  RawClient silent(port_);
  auto upload = LoggedIn();
  std::string content;
  ASSERT_TRUE(EncodeTransfer(std::string(4000, 'r') + "\n", &content));
  upload->Send(Word(REQ_PUT_ROTATION) + content.substr(0, content.size() / 2));
  auto reader = LoggedIn();
  const int small = 4096;
  setsockopt(reader->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  reader->SendWord(REQ_GET_BANS);
  {
    auto reset = LoggedIn();
    reset->Send(Word(REQ_SAY_ALL) + Word(100) + "ten bytes.");
    StillAnswers(*admin);  // a pass has gone by: the bytes have been read
    const linger abort{1, 0};
    setsockopt(reset->fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }

  // The credentials, one byte a second, while the administrator asks away.
  const CredentialField name = EncodeCredential("admin");
  const std::string login = std::string(name.begin(), name.end()) + std::string(32, 'p');
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (std::size_t sent = 0;
       CountLogged("Couldn't authenticate client! Connection timed out") < 2 ||
       !Logged("Couldn't send " + SettingsPath("serverbanlist.con")) ||
       !Logged("Couldn't receive " + SettingsPath("servermaplist.con"));
       ++sent) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << Log();
    if (sent < login.size()) trickle.Send(login.substr(sent, 1));
    StillAnswers(*admin);
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
  }
  EXPECT_TRUE(Logged("Couldn't receive " + SettingsPath("servermaplist.con") +
                     " from peer at 127.0.0.1! Connection timed out"))
      << Log();
  EXPECT_TRUE(Logged("Couldn't send " + SettingsPath("serverbanlist.con") +
                     " to peer at 127.0.0.1! Connection timed out"))
      << Log();
  EXPECT_TRUE(Logged("Couldn't receive command from client at 127.0.0.1:")) << Log();
  EXPECT_TRUE(Logged("! Connection reset by peer")) << Log();
  EXPECT_EQ(CountLogged("has disconnected."), 3) << Log();  // upload, download, reset
  EXPECT_EQ(ReadFile(SettingsPath("servermaplist.con")), rotation);
  EXPECT_FALSE(Logged("updated the map rotation"));

  // Every slot is free again but the administrator's: 15 more fill them, the
  // 17th and 18th connection are refused whatever they send, and a slot that
  // is given back is taken again.
  std::vector<std::unique_ptr<RawClient>> more;
  for (int k = 0; k < 15; ++k) more.push_back(LoggedIn());
  for (const char* password : {"secret", "wrong"}) {
    RawClient extra(port_);
    extra.SendCredentials("admin", password);
    EXPECT_EQ(extra.Read(2), std::string(1, '\7'));  // the result, then the end
  }
  StillAnswers(*admin);
  more.pop_back();
  ASSERT_TRUE(WaitFor([&] { return CountLogged("has disconnected.") == 4; })) << Log();
  more.push_back(LoggedIn());
  StillAnswers(*admin);
}

}  // namespace
}  // namespace keldor::e2e
