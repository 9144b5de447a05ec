// The real keldor and keldorctl on loopback: every login result with its log
// line and the client's text, the 17th client, the same-name rule, a wrong
// protocol byte, ping, status, watch, and NOTE_DISCONNECT to every client at
// shutdown.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "process_support.h"
#include "remote/protocol.h"

namespace keldor::e2e {
namespace {

constexpr const char* kHash = "00112233445566778899aabbccddeeff";

std::string Account(const std::string& name, const std::string& password, std::uint32_t rights,
                    int active = 1) {
  return name + "," + password + "," + kHash + "," + std::to_string(rights) + "," +
         std::to_string(active) + "\n";
}

std::string Word(std::uint32_t value) {
  const keldor::Word word = EncodeWord(value);
  return std::string(word.begin(), word.end());
}

// A hand-driven client for what keldorctl never does on purpose.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("connect failed");
    }
  }
  ~RawClient() { close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void Send(const std::string& bytes) { send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void SendCredentials(const std::string& user, const std::string& password) {
    const CredentialField name = EncodeCredential(user);
    const CredentialField secret = EncodeCredential(password);
    Send(std::string(name.begin(), name.end()) + std::string(secret.begin(), secret.end()));
  }
  // Reads exactly `size` bytes (less when the connection ends or 10 s pass).
  std::string Read(std::size_t size) {
    std::string bytes;
    char buffer[256];
    while (bytes.size() < size) {
      pollfd wait{fd_, POLLIN, 0};
      if (poll(&wait, 1, 10000) <= 0) break;
      const ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, size - bytes.size()), 0);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
  }
  // A full login; true when accepted.
  bool LogIn(const std::string& user, const std::string& password) {
    SendCredentials(user, password);
    if (Read(6).size() != 6) return false;
    Send(std::string(1, static_cast<char>(PROTOCOL_VERSION)));
    return Read(1).size() == 1;
  }

 private:
  int fd_ = -1;
};

class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeInstallation(dir_.path());
    WriteAccounts(Account("admin", "secret", 0xFFFFFFFF) + Account("alice", "wonder", 0x40) +
                  Account("off", "pw", 0x40, 0) + Account("nobody", "pw", 0));
    keldor_ = std::make_unique<Process>(
        BinaryPath("keldor"), std::vector<std::string>{"-path", dir_.path(), "-port", Port()},
        dir_.path(), dir_ / "keldor.out");
    ASSERT_TRUE(WaitFor([&] { return Logged("Listening on"); })) << Log();
  }
  void TearDown() override {
    if (keldor_) {
      keldor_->Signal(SIGTERM);
      keldor_->Wait();
    }
  }

  void WriteAccounts(const std::string& text) {
    WriteFile(dir_ / "mods/bfvietnam/settings/useraccess.con", text);
  }
  std::string Port() const { return std::to_string(port_); }
  std::string Log() const { return ReadFile(dir_ / "keldor.log"); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
  int CountLogged(const std::string& text) const {
    const std::string log = Log();
    int count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }

  std::unique_ptr<Process> Ctl(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--port", Port()};
    all.insert(all.end(), args.begin(), args.end());
    const std::string output = dir_ / ("ctl" + std::to_string(++ctlCount_));
    return std::make_unique<Process>(BinaryPath("keldorctl"), all, dir_.path(), output);
  }
  // Runs keldorctl to its end: {exit status, its output}.
  std::pair<int, std::string> RunCtl(const std::vector<std::string>& args) {
    auto ctl = Ctl(args);
    const auto status = ctl->Wait();
    return {status.value_or(-1), ctl->Output()};
  }
  std::pair<int, std::string> Ping(const std::string& user, const std::string& password) {
    return RunCtl({"--user", user, "--password", password, "ping"});
  }

  TempDir dir_;
  int port_ = FreePort();
  std::unique_ptr<Process> keldor_;
  int ctlCount_ = 0;
};

TEST_F(Client, RefusedLoginsShowTheErrorTextsAndLogTheirLines) {
  struct Case {
    std::string user, password, shown, logged;
  };
  const std::vector<Case> cases = {
      {"mallory", "x", "The specified username is invalid.",
       "failed to authenticate! Bad username (mallory)."},
      {"alice", "guess", "The specified password is invalid.",
       "failed to authenticate! Bad password (guess) for user account (alice)."},
      {"off", "pw", "The specified user account is disabled.",
       "failed to authenticate! User account (off) is inactive."},
      {"nobody", "pw", "no access rights", ""},
  };
  for (const Case& c : cases) {
    const auto [status, output] = Ping(c.user, c.password);
    EXPECT_EQ(status, 3) << output;
    EXPECT_NE(output.find(c.shown), std::string::npos) << output;
    EXPECT_EQ(output.find("pong"), std::string::npos);
    if (!c.logged.empty()) {
      EXPECT_TRUE(Logged("SECURITY ALERT! Client at 127.0.0.1:")) << Log();
      EXPECT_TRUE(Logged(c.logged)) << Log();
    }
  }
  EXPECT_FALSE(Logged("connected as user"));

  WriteAccounts("");  // read at every login
  const auto [status, output] = Ping("admin", "secret");
  EXPECT_EQ(status, 3);
  EXPECT_NE(output.find("No user accounts exist."), std::string::npos) << output;
  EXPECT_TRUE(Logged("failed to authenticate! No remote access is permitted."));
}

TEST_F(Client, PingStatusAndCredentialsFromTheEnvironment) {
  auto [status, output] = Ping("ADMIN", "secret");
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "pong\n");
  EXPECT_TRUE(Logged("connected as user ADMIN with access -- admin --."));
  EXPECT_TRUE(WaitFor([&] { return Logged("has disconnected."); }));

  setenv("KELDOR_USER", "alice", 1);
  setenv("KELDOR_PASSWORD", "wonder", 1);
  std::tie(status, output) = RunCtl({"status"});
  unsetenv("KELDOR_USER");
  unsetenv("KELDOR_PASSWORD");
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(Logged("connected as user alice with access sgfiatMpbuhc."));
  for (const char* line :
       {"Server name     ", "Address         ", "Players         -- of ",
        "Server state    Stopped\n", "Console         Disconnected\n", "Game mode       ??\n",
        "Tickets         ??\n", "PunkBuster      Not installed\n"}) {
    EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
  }
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 19) << output;
}

TEST_F(Client, SecondLoginUnderOneNameNeedsTheRightAndTheSeventeenthIsRefused) {
  auto watch = Ctl({"--user", "alice", "--password", "wonder", "watch"});
  ASSERT_TRUE(WaitFor([&] { return Logged("connected as user alice"); }));
  auto [status, output] = Ping("Alice", "wonder");
  EXPECT_EQ(status, 3);
  EXPECT_NE(output.find("already logged in"), std::string::npos) << output;
  EXPECT_EQ(CountLogged("connected as user"), 1);

  // The administrator may log in many times: fill the other 15 slots.
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int k = 0; k < 15; ++k) {
    clients.push_back(std::make_unique<RawClient>(port_));
    ASSERT_TRUE(clients.back()->LogIn("admin", "secret")) << k;
  }
  std::tie(status, output) = Ping("admin", "secret");
  EXPECT_EQ(status, 3);
  EXPECT_NE(output.find("maximum number of connected clients"), std::string::npos) << output;
  std::tie(status, output) = Ping("admin", "wrong");
  EXPECT_EQ(status, 3);
  EXPECT_EQ(CountLogged("Maximum number of connected clients (16) has been reached."), 2);
  EXPECT_FALSE(Logged("Bad password"));

  clients.pop_back();  // one leaves; its slot is free again
  ASSERT_TRUE(WaitFor([&] { return CountLogged("has disconnected.") >= 1; }));
  std::tie(status, output) = Ping("admin", "secret");
  EXPECT_EQ(status, 0) << output;
}

TEST_F(Client, WrongProtocolByteIsRefusedAfterRightsAndVersion) {
  RawClient client(port_);
  client.SendCredentials("alice", "wonder");
  EXPECT_EQ(client.Read(6), std::string(1, '\0') + Word(0x40) + "\x8c");
  client.Send(std::string(1, '\x8b'));
  EXPECT_EQ(client.Read(1), "");  // closed without the running flag
  EXPECT_TRUE(WaitFor([&] {
    return Logged("failed to authenticate! Client is using a different protocol version.");
  }));
  EXPECT_FALSE(Logged("connected as user"));
}

TEST_F(Client, ShutdownSendsDisconnectToEveryClient) {
  auto first = Ctl({"--user", "admin", "--password", "secret", "watch"});
  auto second = Ctl({"--user", "alice", "--password", "wonder", "watch"});
  auto raw = std::make_unique<RawClient>(port_);
  ASSERT_TRUE(raw->LogIn("admin", "secret"));
  ASSERT_TRUE(WaitFor([&] { return CountLogged("connected as user") == 3; }));

  keldor_->Signal(SIGTERM);
  EXPECT_EQ(raw->Read(8), Word(NOTE_DISCONNECT) + Word(0));
  EXPECT_EQ(first->Wait(), 0);
  EXPECT_EQ(second->Wait(), 0);
  EXPECT_EQ(first->Output(), "NOTE_DISCONNECT\n");
  EXPECT_EQ(second->Output(), "NOTE_DISCONNECT\n");
  raw.reset();  // the drain ends once every client has gone
  EXPECT_EQ(keldor_->Wait(), 15);
  EXPECT_EQ(CountLogged("has disconnected."), 3);
  EXPECT_TRUE(Logged(" : Exited"));
}

TEST_F(Client, UsageAndBrokenConnections) {
  auto [status, output] = RunCtl({"help"});
  EXPECT_EQ(status, 0);
  for (const char* word : {"ping", "status", "watch", "--user", "KELDOR_PASSWORD"}) {
    EXPECT_NE(output.find(word), std::string::npos) << word;
  }
  std::tie(status, output) = RunCtl({"--user", "a", "--password", "b", "fly"});
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find("unknown command fly"), std::string::npos);

  // A watch ends cleanly when interrupted.
  auto watch = Ctl({"--user", "admin", "--password", "secret", "watch"});
  ASSERT_TRUE(WaitFor([&] { return Logged("connected as user admin"); }));
  watch->Signal(SIGINT);
  EXPECT_EQ(watch->Wait(), 0);
  EXPECT_EQ(watch->Output(), "");
  EXPECT_TRUE(WaitFor([&] { return Logged("has disconnected."); }));

  // Nothing listens there.
  auto nowhere =
      std::make_unique<Process>(BinaryPath("keldorctl"),
                                std::vector<std::string>{"--port", std::to_string(FreePort()),
                                                         "--user", "a", "--password", "b", "ping"},
                                dir_.path(), dir_ / "nowhere");
  EXPECT_EQ(nowhere->Wait(), 2);
  EXPECT_NE(nowhere->Output().find("Couldn't connect to 127.0.0.1:"), std::string::npos);
}

}  // namespace
}  // namespace keldor::e2e
