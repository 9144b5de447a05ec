// Clients that try to fill Keldor's disk or memory: a stream of unknown and
// refused requests, and large uploads that are refused or abandoned. The log
// takes a few lines per connection and a summary, a connection of nothing but
// unknown codes is closed, and the memory of abandoned uploads is given back.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "wire/transfer_frame.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kAdmin = 0xFFFFFFFF;
constexpr std::uint32_t kBogus = 0x12345678;

class Flood : public KeldorHarness {
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
    auto client = std::make_unique<RawClient>(port_, source);
    const std::string password = user == "admin" ? "secret" : "guest";
    if (!client->LogIn(user, password)) ADD_FAILURE() << "login refused";
    return client;
  }
  static void Pong(RawClient& client) {
    client.SendWord(REQ_PING);
    ASSERT_EQ(client.ReadWord(), NOTE_PONG);
    ASSERT_EQ(client.ReadWord(), 0u);
  }
  // The requests left out of the log for the client at `source`, summed over its summaries.
  int Unlogged(const std::string& source) const {
    const std::regex summary("Client at " + source + ":[0-9]+ sent ([0-9]+) more ");
    int total = 0;
    const std::string log = Log();
    for (std::sregex_iterator it(log.begin(), log.end(), summary), end; it != end; ++it) {
      total += std::stoi((*it)[1]);
    }
    return total;
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

TEST_F(Flood, UnknownAndRefusedRequestsAreLoggedAFewTimesThenSummedAndAFloodIsClosed) {
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
    Pong(*guest);
    admin->SendWord(kBogus);
    Pong(*admin);
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
  EXPECT_EQ(Unlogged("127.0.0.1"), 180 + 6 + 3 + 100 - 5) << Log();
  EXPECT_EQ(Unlogged("127.0.0.2"), 0);
  Pong(*admin);
  EXPECT_FALSE(Logged("updated the banlist"));
}

// 16 clients each leave a large upload: eight send one they may not make
// whole, eight stop half-way through one they may make. Nothing of them is
// held: Keldor's resident size comes back near what it was before them.
TEST_F(Flood, LargeRefusedOrAbandonedUploadsLeaveNoMemoryBehind) {
  constexpr std::size_t kHalf = 8u << 20;
  const std::string bans = ReadFile(SettingsPath("serverbanlist.con"));
  {
    auto admin = LoggedIn("admin");
    Pong(*admin);
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
    Pong(*clients.back());  // the whole refused message has been read
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
  Pong(*admin);
}

}  // namespace
}  // namespace keldor::e2e
