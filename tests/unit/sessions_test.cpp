// Client sessions: the login handshake over real loopback connections (its
// refusals are shown end to end), slot release and the actor lookups.
#include "remote/sessions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "daemon/startup.h"
#include "loopback_pair.h"
#include "remote/accounts.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "state_fixture.h"
#include "test_support.h"
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
    testing::WriteFile(Opts().settingsDir + "/useraccess.con",
                       Account("Admin", "root", kAdminRights) + Account("Alice", "wonder", 0x40));
  }
  void TearDown() override {
    for (int fd : open_) close(fd);
    StateTest::TearDown();
  }

  static std::string Account(const std::string& name, const std::string& password,
                             std::uint32_t rights) {
    return name + "," + password + "," + kHash + "," + std::to_string(rights) + ",1\n";
  }

  // Opens a connection, lets the client send `bytes` and runs the handshake.
  // Returns what the client received and whether Authenticate succeeded.
  std::pair<bool, std::string> Handshake(const std::string& bytes, int* daemonEnd = nullptr) {
    const auto [daemon, client] = listener_.Pair();
    open_.push_back(client);
    SendText(client, bytes);
    ErrorCode() = -1;
    const bool ok = Authenticate(daemon);
    if (ok) {
      open_.push_back(daemon);
    } else {
      close(daemon);  // the main loop closes a refused client
    }
    if (daemonEnd != nullptr) *daemonEnd = daemon;
    return {ok, ReceiveAvailable(client)};
  }
  std::pair<bool, std::string> Login(const std::string& user, const std::string& password,
                                     std::uint8_t version = PROTOCOL_VERSION) {
    return Handshake(Field(user) + Field(password) + std::string(1, static_cast<char>(version)));
  }

  LoopbackListener listener_;
  std::vector<int> open_;
};

TEST_F(Sessions, AcceptedLoginSendsRightsVersionAndRunningFlagAndFillsTheFirstFreeSlot) {
  GameServer().monitoring = true;
  const auto [ok, reply] = Login("aLiCe", "WONDER");
  ASSERT_TRUE(ok) << ErrorText(ErrorCode());
  EXPECT_EQ(reply, std::string(1, '\0') + LittleEndian(0x40) + "\x8c" + "\x01");
  const ClientSlot& slot = ClientSlots()[1];
  EXPECT_EQ(slot.userName, "aLiCe");  // as typed, not as stored
  EXPECT_EQ(slot.rights, 0x40U);
  EXPECT_TRUE(slot.address.starts_with("127.0.0.1:"));
  EXPECT_TRUE(slot.lastRequest.empty());
  EXPECT_TRUE(
      Logged("Client at " + slot.address + " connected as user aLiCe with access sgfiatMpbuhc."));

  GameServer().monitoring = false;
  const auto [second, reply2] = Login("admin", "root");
  ASSERT_TRUE(second);
  EXPECT_EQ(reply2,
            std::string(1, '\0') + LittleEndian(kAdminRights) + "\x8c" + std::string(1, '\0'));
  EXPECT_EQ(ClientSlots()[2].userName, "admin");
  EXPECT_TRUE(Logged("connected as user admin with access -- admin --."));
}

// Wrong version bytes, every refusal and the slot limit are shown end to end.
TEST_F(Sessions, ClientThatStopsMidHandshakeLeavesTheSlotFree) {
  const auto [ok, reply] = Handshake(Field("Alice").substr(0, 20));
  EXPECT_FALSE(ok);
  EXPECT_EQ(ErrorCode(), 110);  // one second without a byte
  EXPECT_EQ(reply, "");         // no result byte

  const auto [daemon, client] = listener_.Pair();
  SendText(client, Field("Alice") + Field("wonder"));
  shutdown(client, SHUT_WR);  // hangs up instead of sending its version
  EXPECT_FALSE(Authenticate(daemon));
  EXPECT_EQ(ErrorCode(), 0);
  EXPECT_TRUE(Logged("failed to authenticate! Couldn't get client protocol version."));
  EXPECT_FALSE(SlotInUse(1));
  close(daemon);
  close(client);
}

TEST_F(Sessions, LongNamesAreCutTo31Characters) {
  const std::string longName(40, 'n');
  EXPECT_EQ(DecodeCredential(EncodeCredential(longName)), longName.substr(0, 31));
  // A field with no NUL at all still ends after 31 characters.
  CredentialField full{};
  full.fill('z');
  CredentialTransform(full.data(), full.size());
  EXPECT_EQ(DecodeCredential(full), std::string(31, 'z'));
  EXPECT_FALSE(Login(longName, "x").first);
  EXPECT_TRUE(Logged("Bad username (" + longName.substr(0, 31) + ")."));
}

TEST_F(Sessions, ReleaseFindAndSlotZero) {
  ASSERT_TRUE(Login("Alice", "wonder").first);
  const int socket = ClientSlots()[1].socket;
  const std::string address = ClientSlots()[1].address;
  EXPECT_EQ(FindSlotBySocket(socket), 1);
  EXPECT_EQ(FindSlotBySocket(0), 0);
  EXPECT_EQ(FindSlotBySocket(socket + 1000), -1);

  EXPECT_TRUE(ReleaseSlot(1));
  EXPECT_TRUE(Logged("Client at " + address + " has disconnected."));
  EXPECT_FALSE(SlotInUse(1));
  EXPECT_EQ(ClientSlots()[1].userName, "");
  EXPECT_EQ(FindSlotBySocket(socket), -1);

  // Keldor's own identity is never released; other numbers do nothing.
  EXPECT_FALSE(ReleaseSlot(0));
  EXPECT_FALSE(ReleaseSlot(17));
  EXPECT_FALSE(ReleaseSlot(-1));
  EXPECT_EQ(ActorName(0), "operator");
  EXPECT_EQ(ActorAddress(0), "console");
  EXPECT_EQ(ActorRights(0), kAdminRights);
  EXPECT_FALSE(SlotInUse(0));
}

TEST_F(Sessions, ActorsResolveSlotsGameAdminsAndUnknowns) {
  ASSERT_TRUE(LoadUserAccounts(Opts().settingsDir + "/useraccess.con"));
  ClientSlots()[4] = ClientSlot{42, "bob", "10.0.0.9:1234", 0x80, ""};
  EXPECT_EQ(ActorName(4), "bob");
  EXPECT_EQ(ActorAddress(4), "10.0.0.9:1234");
  EXPECT_EQ(ActorRights(4), 0x80U);

  EXPECT_EQ(ActorName(0xFF00 + 1), "Alice");  // account 1 of the table
  EXPECT_EQ(ActorAddress(0xFF00 + 1), "game");
  EXPECT_EQ(ActorRights(0xFF00 + 1), 0x40U);
  // Past the last account: no name or rights, yet still "game" as the address.
  EXPECT_EQ(ActorName(0xFF00 + 100), "[unknown]");
  EXPECT_EQ(ActorRights(0xFF00 + 100), 0U);
  EXPECT_EQ(ActorAddress(0xFF00 + 100), "game");
  // An unused account entry within range.
  EXPECT_EQ(ActorName(0xFF00 + 50), "[unknown]");
  EXPECT_EQ(ActorRights(0xFF00 + 50), 0U);

  for (int actor : {-1, 17, 0xFEFF}) {
    EXPECT_EQ(ActorName(actor), "[unknown]");
    EXPECT_EQ(ActorAddress(actor), "[unknown]");
    EXPECT_EQ(ActorRights(actor), 0U);
  }
}

}  // namespace
}  // namespace keldor
