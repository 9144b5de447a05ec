// Client sessions: the login handshake over real loopback connections with
// every result and log line, the slot limit, the same-name rule, the version
// byte, slot release and the actor lookups.
#include "remote/sessions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/log.h"
#include "core/startup.h"
#include "core/state.h"
#include "loopback_pair.h"
#include "remote/accounts.h"
#include "remote/protocol.h"
#include "test_support.h"

namespace keldor {
namespace {

using testing::LittleEndian;
using testing::LoopbackListener;
using testing::PeerClosed;
using testing::ReceiveAvailable;
using testing::SendText;

constexpr const char* kHash = "00112233445566778899aabbccddeeff";

std::string Field(const std::string& text) {
  const CredentialField field = EncodeCredential(text);
  return std::string(field.begin(), field.end());
}

class Sessions : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAllState();
    State().serverDir = dir_.path();
    State().settingsDir = dir_ / "settings";
    State().daemonized = true;
    testing::WriteFile(State().settingsDir + "/useraccess.con",
                       Account("Admin", "root", kAdminRights) + Account("Alice", "wonder", 0x40) +
                           Account("Twice", "pw", 0x4040) + Account("Off", "pw", 0x40, 0) +
                           Account("Nobody", "pw", 0));
  }
  void TearDown() override {
    for (int fd : open_) close(fd);
    ResetAllState();
  }

  static std::string Account(const std::string& name, const std::string& password,
                             std::uint32_t rights, int active = 1) {
    return name + "," + password + "," + kHash + "," + std::to_string(rights) + "," +
           std::to_string(active) + "\n";
  }

  // Opens a connection, lets the client send `bytes` and runs the handshake.
  // Returns what the client received and whether Authenticate succeeded.
  std::pair<bool, std::string> Handshake(const std::string& bytes, int* daemonEnd = nullptr) {
    const auto [daemon, client] = listener_.Pair();
    open_.push_back(client);
    SendText(client, bytes);
    State().errorCode = -1;
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

  std::string Log() const { return testing::ReadFile(dir_ / "keldor.log"); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

  testing::TempDir dir_;
  LoopbackListener listener_;
  std::vector<int> open_;
};

TEST_F(Sessions, AcceptedLoginSendsRightsVersionAndRunningFlagAndFillsTheFirstFreeSlot) {
  State().monitoring = true;
  const auto [ok, reply] = Login("aLiCe", "WONDER");
  ASSERT_TRUE(ok) << ErrorText(State().errorCode);
  EXPECT_EQ(reply, std::string(1, '\0') + LittleEndian(0x40) + "\x8c" + "\x01");
  const ClientSlot& slot = ClientSlots()[1];
  EXPECT_EQ(slot.userName, "aLiCe");  // as typed, not as stored
  EXPECT_EQ(slot.rights, 0x40U);
  EXPECT_TRUE(slot.address.starts_with("127.0.0.1:"));
  EXPECT_TRUE(slot.lastRequest.empty());
  EXPECT_TRUE(
      Logged("Client at " + slot.address + " connected as user aLiCe with access sgfiatMpbuhc."));

  State().monitoring = false;
  const auto [second, reply2] = Login("admin", "root");
  ASSERT_TRUE(second);
  EXPECT_EQ(reply2,
            std::string(1, '\0') + LittleEndian(kAdminRights) + "\x8c" + std::string(1, '\0'));
  EXPECT_EQ(ClientSlots()[2].userName, "admin");
  EXPECT_TRUE(Logged("connected as user admin with access -- admin --."));
}

TEST_F(Sessions, EveryRefusalSendsOnlyItsResultAndLogsItsLine) {
  struct Case {
    std::string user, password;
    char result;
    std::string line;  // after "Client at 127.0.0.1:<port>"; empty: nothing logged
  };
  const std::vector<Case> cases = {
      {"Mallory", "x", 1, " failed to authenticate! Bad username (Mallory)."},
      {"Alice", "guess", 2,
       " failed to authenticate! Bad password (guess) for user account (Alice)."},
      {"Off", "pw", 3, " failed to authenticate! User account (Off) is inactive."},
      {"Nobody", "pw", 4, ""},
  };
  for (const Case& c : cases) {
    const std::string before = Log();
    const auto [ok, reply] = Login(c.user, c.password);
    EXPECT_FALSE(ok);
    EXPECT_EQ(State().errorCode, 0);  // logged already: the caller adds nothing
    EXPECT_EQ(reply, std::string(1, c.result)) << c.user;
    const std::string added = Log().substr(before.size());
    if (c.line.empty()) {
      EXPECT_EQ(added, "") << c.user;
    } else {
      EXPECT_NE(added.find(c.line), std::string::npos) << added;
      EXPECT_NE(added.find("SECURITY ALERT! Client at 127.0.0.1:"), std::string::npos) << added;
    }
  }
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) EXPECT_FALSE(SlotInUse(slot));

  std::filesystem::remove(State().settingsDir + "/useraccess.con");
  const auto [ok, reply] = Login("Alice", "wonder");
  EXPECT_FALSE(ok);
  EXPECT_EQ(reply, std::string(1, '\5'));
  EXPECT_TRUE(Logged("failed to authenticate! No remote access is permitted."));
}

TEST_F(Sessions, SecondLoginUnderOneNameNeedsTheTwiceRight) {
  ASSERT_TRUE(Login("Alice", "wonder").first);
  const std::string before = Log();
  const auto [ok, reply] = Login("ALICE", "wonder");
  EXPECT_FALSE(ok);
  EXPECT_EQ(reply, std::string(1, '\6'));
  EXPECT_EQ(Log(), before);  // result 6 has no line

  ASSERT_TRUE(Login("twice", "pw").first);
  EXPECT_TRUE(Login("TWICE", "pw").first);
  ASSERT_TRUE(Login("admin", "root").first);
  EXPECT_TRUE(Login("Admin", "root").first);  // the administrator mask holds 0x4000
}

TEST_F(Sessions, SeventeenthClientGetsResultSevenWhateverItsCredentials) {
  for (int k = 0; k < kLastClientSlot; ++k) ASSERT_TRUE(Login("admin", "root").first) << k;
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) EXPECT_TRUE(SlotInUse(slot));

  for (const auto& [user, password] :
       std::vector<std::pair<std::string, std::string>>{{"admin", "root"}, {"admin", "bad"}}) {
    const auto [ok, reply] = Login(user, password);
    EXPECT_FALSE(ok);
    EXPECT_EQ(reply, std::string(1, '\7'));
  }
  EXPECT_TRUE(
      Logged("failed to authenticate! Maximum number of connected clients (16) has been "
             "reached."));
  EXPECT_FALSE(Logged("Bad password"));

  // A released slot is taken again.
  ASSERT_TRUE(ReleaseSlot(9));
  ASSERT_TRUE(Login("admin", "root").first);
  EXPECT_EQ(ClientSlots()[9].userName, "admin");
}

TEST_F(Sessions, WrongOrMissingVersionByteIsRefusedAfterRightsAndVersion) {
  const auto [ok, reply] = Login("Alice", "wonder", 139);
  EXPECT_FALSE(ok);
  EXPECT_EQ(State().errorCode, 0);
  // Result 0, the rights and our version went out; the running flag did not.
  EXPECT_EQ(reply, std::string(1, '\0') + LittleEndian(0x40) + "\x8c");
  EXPECT_TRUE(Logged("failed to authenticate! Client is using a different protocol version."));
  EXPECT_FALSE(SlotInUse(1));

  // A client that hangs up instead of answering with its version.
  const auto [daemon, client] = listener_.Pair();
  SendText(client, Field("Alice") + Field("wonder"));
  shutdown(client, SHUT_WR);
  EXPECT_FALSE(Authenticate(daemon));
  EXPECT_EQ(State().errorCode, 0);
  EXPECT_TRUE(Logged("failed to authenticate! Couldn't get client protocol version."));
  EXPECT_FALSE(SlotInUse(1));
  close(daemon);
  close(client);
}

TEST_F(Sessions, ClientStoppingInTheCredentialsIsDroppedWithTheReadError) {
  const auto [ok, reply] = Handshake(Field("Alice").substr(0, 20));
  EXPECT_FALSE(ok);
  EXPECT_EQ(State().errorCode, 110);  // one second without a byte
  EXPECT_EQ(reply, "");               // no result byte
  EXPECT_FALSE(SlotInUse(1));
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
  ASSERT_TRUE(LoadUserAccounts(State().settingsDir + "/useraccess.con"));
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
