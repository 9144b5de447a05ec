// Clients that try to stall the daemon or fill its disk or memory: a login
// sent a byte a second, a connection that sends nothing, an upload that stops
// half-way, a download that is never read, a reset in the middle of a request,
// the 17th and 18th connection; a stream of unknown and refused requests, and
// large uploads that are refused or abandoned. An administrator beside them
// keeps getting answers; each hostile connection ends at its deadline with its
// log line, its slot is freed and no file changes. The log takes a few lines
// per connection and a summary, a connection of nothing but unknown codes is
// closed, and the memory of abandoned uploads is given back. Password guessing
// is in login_security_test.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "wire/transfer_frame.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kAdmin = 0xFFFFFFFF;
constexpr std::uint32_t kBogus = 0x12345678;

class Hostile : public KeldorHarness {
 protected:
  // The administrator, and eight guests (an account other than the
  // administrator's is logged in once at a time) who may only touch the bans.
  void SetUp() override {
    std::string accounts = Account("admin", "secret", kAdmin);
    for (int k = 0; k < 8; ++k) accounts += Account(Guest(k), "guest", kRightB);
    StartKeldor(accounts);
  }
  static std::string Guest(int k) { return "guest" + std::to_string(k); }
  std::unique_ptr<RawClient> LoggedIn(const std::string& user, const char* source = "127.0.0.1") {
    return KeldorHarness::LoggedIn(user, user == "admin" ? "secret" : "guest", source);
  }
  // A ping answered with a pong, and a status request answered with a text.
  static void StillAnswers(RawClient& admin) {
    ASSERT_TRUE(admin.Pings());
    admin.SendWord(REQ_GET_STATUS);
    const std::uint32_t length = admin.ReadWord();
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, 100000u);
    ASSERT_EQ(admin.Read(length).size(), length);
  }
  long ResidentKiB() const {
    std::ifstream status("/proc/" + std::to_string(keldor_->pid()) + "/status");
    for (std::string key; status >> key;) {
      long value = 0;
      if (key == "VmRSS:" && status >> value) return value;
    }
    return -1;
  }
};

TEST_F(Hostile, UnknownAndRefusedRequestsAreLoggedAFewTimesThenSummedAndAFloodIsClosed) {
  auto admin = LoggedIn("admin", "127.0.0.2");
  auto guest = LoggedIn(Guest(0));
  std::string noise;
  for (int k = 0; k < 60; ++k) noise += Word(kBogus);
  noise += Word(REQ_GET_STATUS) + Word(REQ_CHANGE_MAP) + testing::CountedString("refused");
  // An upload the guest may make, whose bytes fail their checksum.
  std::string upload;
  ASSERT_TRUE(EncodeTransfer(std::string(3000, 'b'), &upload));
  upload.back() ^= 1;
  noise += Word(REQ_PUT_BANS) + upload;
  // A valid request between the runs of unknown codes keeps the connection.
  for (int round = 0; round < 3; ++round) {
    guest->Send(noise);
    ASSERT_TRUE(guest->Pings());
    admin->SendWord(kBogus);
    ASSERT_TRUE(admin->Pings());
  }
  // 60 × 3 unknown, 2 × 3 refused and 3 corrupt uploads: 5 of them logged.
  const std::regex oneByOne(
      "(Received bogus command [0-9A-F]{8} from client at 127\\.0\\.0\\.1:|"
      "SECURITY ALERT! Client at 127\\.0\\.0\\.1:[0-9]+ does not have|"
      "Couldn't receive [^ ]+serverbanlist\\.con from peer at 127\\.0\\.0\\.1!)");
  const std::string log = Log();
  EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), oneByOne), {}), 5) << log;
  EXPECT_EQ(CountLogged("Received bogus command 12345678 from client at 127.0.0.2:"), 3);

  // Nothing but unknown codes: the connection ends at the hundredth.
  std::string flood;
  for (int k = 0; k < 150; ++k) flood += Word(kBogus + 1);
  guest->Send(flood);
  EXPECT_EQ(guest->Read(1), "");  // closed, and nothing was sent to it
  ASSERT_TRUE(WaitFor([&] { return Logged("has disconnected."); })) << Log();
  EXPECT_TRUE(Logged("SECURITY ALERT! Client at 127.0.0.1:")) << Log();
  EXPECT_TRUE(Logged(" sent 100 unknown requests in a row; the connection is closed.")) << Log();
  EXPECT_EQ(Unlogged(Log(), "127.0.0.1"), 180 + 6 + 3 + 100 - 5) << Log();
  EXPECT_EQ(Unlogged(Log(), "127.0.0.2"), 0);
  ASSERT_TRUE(admin->Pings());
  EXPECT_FALSE(Logged("updated the banlist"));
}

// 16 clients each leave a large upload: eight send one they may not make
// whole, eight stop half-way through one they may make. Nothing of them is
// held: Keldor's resident size comes back near what it was before them.
TEST_F(Hostile, LargeRefusedOrAbandonedUploadsLeaveNoMemoryBehind) {
  constexpr std::size_t kHalf = 8u << 20;
  const std::string bans = ReadFile(SettingsPath("serverbanlist.con"));
  {
    auto admin = LoggedIn("admin");
    ASSERT_TRUE(admin->Pings());
  }
  ASSERT_TRUE(WaitFor([&] { return Logged("has disconnected."); }));
  const long idle = ResidentKiB();
  ASSERT_GT(idle, 0);

  const std::string filler(kHalf, 'z');
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int k = 0; k < 8; ++k) {
    clients.push_back(LoggedIn(Guest(k)));
    clients.back()->Send(Word(REQ_PUT_SCHEDULE) + Word(kTransferMax) +
                         Word(static_cast<std::uint32_t>(kHalf)) + Word(1) + filler);
    ASSERT_TRUE(clients.back()->Pings());  // the whole refused message has been read
  }
  for (int k = 0; k < 8; ++k) {
    clients.push_back(LoggedIn("admin"));
    clients.back()->Send(Word(REQ_PUT_BANS) + Word(kTransferMax) + Word(kTransferMax) + Word(1) +
                         filler);
  }
  clients.clear();
  ASSERT_TRUE(WaitFor([&] { return CountLogged("has disconnected.") == 17; })) << Log();
  EXPECT_EQ(CountLogged("Couldn't receive " + SettingsPath("serverbanlist.con") +
                        " from peer at 127.0.0.1! Connection reset by peer"),
            8)
      << Log();
  EXPECT_EQ(ReadFile(SettingsPath("serverbanlist.con")), bans);
  // Generous: the sanitizer's own bookkeeping grows with the traffic; holding
  // the uploads would take 128 MiB.
  EXPECT_LT(ResidentKiB(), idle + 16 * 1024) << "idle " << idle << " KiB";
  auto admin = LoggedIn("admin");
  ASSERT_TRUE(admin->Pings());
}

TEST_F(Hostile, NoClientStallsTheAdministratorAndEachEndsAtItsDeadline) {
  auto admin = LoggedIn("admin");
  const std::string rotation = ReadFile(SettingsPath("servermaplist.con"));
  // A ban list too large for the sockets' buffers, and that does not compress.
  std::string bans(12 * 1024 * 1024, '\0');
  std::mt19937 random(7);
  for (char& c : bans) c = static_cast<char>(random());
  WriteFile(SettingsPath("serverbanlist.con"), bans);

  RawClient trickle(port_);
  RawClient silent(port_);
  auto upload = LoggedIn("admin");
  std::string content;
  ASSERT_TRUE(EncodeTransfer(std::string(4000, 'r') + "\n", &content));
  upload->Send(Word(REQ_PUT_ROTATION) + content.substr(0, content.size() / 2));
  auto reader = LoggedIn("admin");
  const int small = 4096;
  setsockopt(reader->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  reader->SendWord(REQ_GET_BANS);
  {
    auto reset = LoggedIn("admin");
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
  for (int k = 0; k < 15; ++k) more.push_back(LoggedIn("admin"));
  for (const char* password : {"secret", "wrong"}) {
    RawClient extra(port_);
    extra.SendCredentials("admin", password);
    EXPECT_EQ(extra.Read(2), std::string(1, '\7'));  // the result, then the end
  }
  EXPECT_TRUE(Says(RunAs("admin", "secret", {"ping"}), 3, "maximum number of connected clients"));
  EXPECT_TRUE(Logged("Maximum number of connected clients (16) has been reached."));
  StillAnswers(*admin);
  more.pop_back();
  ASSERT_TRUE(WaitFor([&] { return CountLogged("has disconnected.") == 4; })) << Log();
  more.push_back(LoggedIn("admin"));
  StillAnswers(*admin);
}

}  // namespace
}  // namespace keldor::e2e
