// Client sessions: the credential cipher, the login handshake over real
// loopback connections (its refusals, the wrong protocol byte and the slot
// limit are shown end to end in client_test), slot release, the actors and
// the guessing brake.
#include "remote/sessions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "core/error.h"
#include "daemon/main_loop.h"
#include "loopback_pair.h"
#include "remote/accounts.h"
#include "remote/login_guard.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "state_fixture.h"
#include "wire/cipher.h"
#include "wire/protocol.h"

namespace keldor {
namespace {

using testing::LittleEndian;
using testing::LoopbackListener;
using testing::ReceiveAvailable;
using testing::SendText;

constexpr const char* kHash = "00112233445566778899aabbccddeeff";

std::string Field(const std::string& text) {
  const CredentialField field = EncodeCredential(text);
  return std::string(field.begin(), field.end());
}

class Sessions : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    testing::WriteFile(
        Opts().settingsDir + "/useraccess.con",
        std::string("Admin,root,") + kHash + ",4294967295,1\nAlice,wonder," + kHash + ",64,1\n");
  }
  void TearDown() override {
    for (int fd : open_) close(fd);
    StateTest::TearDown();
  }
  // Opens a connection, lets the client send `bytes` and runs the handshake.
  // Returns whether Authenticate succeeded and what the client received.
  std::pair<bool, std::string> Handshake(const std::string& bytes) {
    const auto [daemon, client] = listener_.Pair();
    open_.push_back(client);
    SendText(client, bytes);
    const bool ok = Serve(daemon);
    return {ok, ReceiveAvailable(client)};
  }
  // Runs the handshake as the main loop does once the client's bytes are
  // there: true when it filled a slot; otherwise the connection is ended.
  static bool Serve(int daemon) {
    ErrorCode() = -1;
    if (!Authenticate(OwnedFd(daemon))) return false;
    ServeLogin(Holding(daemon), true);
    Connection& served = Holding(daemon);  // an accepted login has moved to its slot
    if (LoggedIn(served)) return true;
    EndConnection(served);
    return false;
  }
  static Connection& Holding(int fd) {
    auto& table = Connections();
    return *std::find_if(table.begin(), table.end(), [fd](auto& c) { return c.fd.get() == fd; });
  }
  std::pair<bool, std::string> Login(const std::string& user, const std::string& password) {
    return Handshake(Field(user) + Field(password) +
                     std::string(1, static_cast<char>(PROTOCOL_VERSION)));
  }

  LoopbackListener listener_;
  std::vector<int> open_;
};

TEST(Cipher, CredentialFieldMatchesTheKnownAnswerAndDeciphersBack) {
  std::array<std::uint8_t, 32> field = {'a', 'd', 'm', 'i', 'n'};
  CredentialTransform(field.data(), field.size());
  char hex[33] = {};
  for (std::size_t k = 0; k < 16; ++k) std::snprintf(hex + 2 * k, 3, "%02X", field[k]);
  EXPECT_STREQ(hex, "9369A64C4D3BD12D9CB19FE5F719156D");
  CredentialTransform(field.data(), field.size());  // each call starts afresh, so it deciphers
  EXPECT_EQ(field, (std::array<std::uint8_t, 32>{'a', 'd', 'm', 'i', 'n'}));
}

TEST(Cipher, KeyHashMustBe32HexDigitsInEitherCase) {
  ResetAllState();
  EXPECT_TRUE(CheckKeyHash("0123456789abcdefABCDEF0123456789"));
  EXPECT_FALSE(CheckKeyHash("0123456789abcdefABCDEF01234567890"));
  EXPECT_EQ(ErrorCode(), kErrKeyHashLength);
  EXPECT_FALSE(CheckKeyHash("0123456789abcdefABCDEF012345678g"));
  EXPECT_EQ(ErrorCode(), kErrKeyHashHex);
}

TEST_F(Sessions, AcceptedLoginSendsRightsVersionAndRunningFlagAndFillsTheFirstFreeSlot) {
  GameServer().monitoring = true;
  const auto [ok, reply] = Login("aLiCe", "WONDER");
  ASSERT_TRUE(ok) << ErrorText(ErrorCode());
  EXPECT_EQ(reply, std::string(1, '\0') + LittleEndian(0x40) + "\x8c" + "\x01");
  EXPECT_EQ(Connections()[1].userName, "aLiCe");  // as typed, not as stored
  EXPECT_EQ(Connections()[1].rights, 0x40U);
  GameServer().monitoring = false;
  EXPECT_EQ(Login("admin", "root").second.back(), '\0');

  // A client that hangs up instead of sending its version leaves its slot free.
  const auto [daemon, client] = listener_.Pair();
  open_.push_back(client);
  SendText(client, Field("admin") + Field("root"));  // the administrator may log in again
  shutdown(client, SHUT_WR);
  EXPECT_FALSE(Serve(daemon));
  EXPECT_TRUE(Logged("failed to authenticate! Couldn't get client protocol version."));
  EXPECT_FALSE(SlotInUse(3));
  EXPECT_FALSE(Logged("has disconnected"));  // it never connected
}

TEST_F(Sessions, LongNamesAreCutTo31Characters) {
  const std::string longName(40, 'n');
  EXPECT_EQ(DecodeCredential(EncodeCredential(longName)), longName.substr(0, 31));
  // A field with no NUL at all still ends after 31 characters.
  CredentialField full{};
  full.fill('z');
  CredentialTransform(full.data(), full.size());
  EXPECT_EQ(DecodeCredential(full), std::string(31, 'z'));
}

TEST_F(Sessions, SlotsReleaseAndActorsResolveSlotsGameAdminsAndUnknowns) {
  ASSERT_TRUE(Login("Alice", "wonder").first);
  EndConnection(Connections()[1]);
  EXPECT_FALSE(SlotInUse(1));
  EXPECT_EQ(Connections()[1].userName, "");
  EXPECT_TRUE(Logged("has disconnected.")) << Log();
  EndConnection(Connections()[0]);  // Keldor's own identity is never a connection

  ASSERT_TRUE(LoadUserAccounts(Opts().settingsDir + "/useraccess.con"));
  Connections()[4] = Connection{-1, "bob", "10.0.0.9:1234", 0x80, {}};
  struct Actor {
    int actor;
    std::string name, address;
    std::uint32_t rights;
  };
  for (const Actor& a : std::vector<Actor>{
           {0, "operator", "console", kAdminRights},
           {4, "bob", "10.0.0.9:1234", 0x80},
           {0xFF00 + 1, "Alice", "game", 0x40},     // account 1 of the table
           {0xFF00 + 100, "[unknown]", "game", 0},  // past the last account: still "game"
           {17, "[unknown]", "[unknown]", 0}}) {
    EXPECT_EQ(ActorName(a.actor), a.name) << a.actor;
    EXPECT_EQ(ActorAddress(a.actor), a.address) << a.actor;
    EXPECT_EQ(ActorRights(a.actor), a.rights) << a.actor;
  }
}

// The account lockout and the good login are shown end to end in login_security_test.
TEST_F(Sessions, SprayingNamesLocksTheAddressAndNoFloodLiftsALockout) {
  constexpr std::uint32_t kPeer = 0x0A000001;
  const long long now = 1000;
  for (int k = 1; k < kGuessesBeforeAddressLockout; ++k) {
    NoteFailedLogin(kPeer, "user" + std::to_string(k), now);
  }
  EXPECT_EQ(LockoutLeft(kPeer, "admin", now), 0);
  EXPECT_EQ(NoteFailedLogin(kPeer, "one-more", now), kGuessDelayMaxMs);
  EXPECT_EQ(LockoutLeft(kPeer, "admin", now), kLockoutMs);
  EXPECT_TRUE(Logged("SECURITY ALERT! 24 failed logins from 10.0.0.1 within 10 minutes"));
  for (std::uint32_t other = 1; other <= 2 * kGuardedEntries; ++other) {
    NoteFailedLogin(kPeer + other, "x", now + 1);
  }
  EXPECT_GT(LockoutLeft(kPeer, "admin", now + 1), 0);
  // Its end is a clean slate.
  EXPECT_EQ(LockoutLeft(kPeer, "admin", now + kLockoutMs), 0);
  EXPECT_EQ(NoteFailedLogin(kPeer, "admin", now + kLockoutMs), 0);
}

}  // namespace
}  // namespace keldor
