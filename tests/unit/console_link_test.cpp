// The game console link against an in-process fake console: login, request
// layouts, reply collection and hostile replies.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/log.h"
#include "core/startup.h"
#include "core/state.h"
#include "fake_console.h"
#include "gamelink/console.h"
#include "settings/settings.h"

namespace keldor {
namespace {

using fake::ConsoleReply;
using fake::ConsoleRequest;
using fake::CountedString;
using fake::FakeConsole;
using fake::Reply;
using fake::StringList;
using fake::Word;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ConsoleLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAllState();
    char pattern[] = "/tmp/keldor_console_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    State().serverDir = dir_;
    console_.PrepareKeldor();
  }
  void TearDown() override {
    ResetAllState();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  std::string Log() const { return ReadFile(dir_ + "/keldor.log"); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

  // Connects and answers the next request with `strings`.
  void ConnectAndAnswer(const std::vector<std::string>& strings) {
    console_.SetResponder([strings](const ConsoleRequest&) { return Reply(strings); });
    ASSERT_TRUE(ConnectConsole()) << ErrorText(State().errorCode);
  }

  std::string dir_;
  FakeConsole console_;
};

TEST_F(ConsoleLinkTest, LoginSendsMaskedCredentialsAndConnects) {
  // A password longer than the key shows the mask wrapping round; a user name
  // longer than 31 characters is cut.
  const std::string longUser(40, 'u');
  console_.ExpectCredentials(longUser.substr(0, 31), "Sentinel-password");
  State().consoleUser = longUser;
  State().consolePass = "Sentinel-password";

  ASSERT_TRUE(ConnectConsole()) << ErrorText(State().errorCode);
  EXPECT_TRUE(Console().connected);
  EXPECT_GE(Console().socket, 0);
  EXPECT_EQ(Console().user, longUser.substr(0, 31));
  EXPECT_TRUE(Logged("Connected"));

  const FakeConsole::Key& key = FakeConsole::kDefaultKey;
  auto masked = [&key](const std::string& text) {
    std::string bytes = Word(static_cast<std::uint32_t>(text.size() + 1));
    for (std::size_t i = 0; i < text.size(); ++i) bytes += static_cast<char>(text[i] ^ key[i % 10]);
    return bytes + std::string(1, '\0');
  };
  EXPECT_EQ(console_.LoginBytes(), masked(longUser.substr(0, 31)) + masked("Sentinel-password"));
}

TEST_F(ConsoleLinkTest, RefusedLoginFailsWithoutDisconnectedLine) {
  console_.ExpectCredentials("User", "other");
  EXPECT_FALSE(ConnectConsole());
  EXPECT_EQ(State().errorCode, kErrConsoleLogin);
  EXPECT_FALSE(Console().connected);
  EXPECT_EQ(Console().socket, -1);
  EXPECT_FALSE(Logged("Disconnected"));
  EXPECT_FALSE(Logged("Connected"));
}

TEST_F(ConsoleLinkTest, ConnectRefusesQuietlyOrWithItsOwnLines) {
  State().monitoring = false;
  State().errorCode = 5;
  EXPECT_FALSE(ConnectConsole());
  EXPECT_EQ(State().errorCode, 0);
  EXPECT_EQ(Log(), "");

  State().monitoring = true;
  Row(Setting::ServerIP).current = 0;
  EXPECT_FALSE(ConnectConsole());
  EXPECT_EQ(State().errorCode, 0);
  EXPECT_TRUE(Logged("Couldn't connect to console, IP address is zero!"));

  console_.PrepareKeldor();
  Row(Setting::ConsolePort).current = 0;
  EXPECT_FALSE(ConnectConsole());
  EXPECT_TRUE(Logged("Couldn't connect to console, port address is zero!"));

  // A port beyond 65535 would wrap onto some other port.
  Row(Setting::ConsolePort).current = 65536 + console_.Port();
  EXPECT_FALSE(ConnectConsole());
  EXPECT_EQ(State().errorCode, 0);
  EXPECT_TRUE(Logged("Couldn't connect to console, port address " +
                     std::to_string(65536 + console_.Port()) + " is invalid!"));
  EXPECT_EQ(console_.Connections(), 0);
}

TEST_F(ConsoleLinkTest, ConnectToClosedPortReportsRefusal) {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t size = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  close(probe);  // nobody listens there now
  Row(Setting::ConsolePort).current = ntohs(address.sin_port);

  EXPECT_FALSE(ConnectConsole());
  EXPECT_EQ(State().errorCode, ECONNREFUSED);
  EXPECT_EQ(Console().socket, -1);
  EXPECT_FALSE(Logged("Disconnected"));
}

TEST_F(ConsoleLinkTest, CommandRequestSplitsLinesExactly) {
  ConnectAndAnswer({});
  ASSERT_NE(SendConsoleMessage("first\n\nthird"), nullptr);
  ASSERT_NE(SendConsoleMessage("admin.kickPlayer %i\n", 7), nullptr);
  ASSERT_NE(SendConsoleMessage("%s", "\n"), nullptr);

  const std::vector<ConsoleRequest> requests = console_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].raw, StringList({"ConsoleMessage 0", "first", "", "third", "\r"}));
  EXPECT_EQ(requests[1].raw, StringList({"ConsoleMessage 0", "admin.kickPlayer 7", "\r"}));
  EXPECT_EQ(requests[2].raw, StringList({"ConsoleMessage 0", "", "\r"}));
}

TEST_F(ConsoleLinkTest, CommandRequestCutsTextAndGrowsItsBuffer) {
  ConnectAndAnswer({});
  // Cut at 2047 characters.
  ASSERT_NE(SendConsoleMessage("%s", std::string(3000, 'a').c_str()), nullptr);
  // A line that exactly fills the first 2048 bytes before the final "\r" string:
  // 4 (count) + 21 (name string) + 4 + 2018 + 1 = 2048.
  ASSERT_NE(SendConsoleMessage("%s", std::string(2018, 'b').c_str()), nullptr);
  // Many short lines grow the buffer several times.
  std::string many;
  std::vector<std::string> manyStrings = {"ConsoleMessage 0"};
  for (int i = 0; i < 1000; ++i) {
    many += "k\n";
    manyStrings.push_back("k");
  }
  manyStrings.push_back("\r");
  ASSERT_NE(SendConsoleMessage("%s", many.c_str()), nullptr);

  const std::vector<ConsoleRequest> requests = console_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].raw, StringList({"ConsoleMessage 0", std::string(2047, 'a'), "\r"}));
  EXPECT_EQ(requests[1].raw, StringList({"ConsoleMessage 0", std::string(2018, 'b'), "\r"}));
  EXPECT_EQ(requests[2].raw, StringList(manyStrings));
}

TEST_F(ConsoleLinkTest, CommandResponseKeepsPlainStringsAndHandlesEventLines) {
  ConnectAndAnswer({"first", "##-- Soldier: hello", "##dropped", "", "third", "##--"});
  const char* response = SendConsoleMessage("game.listPlayers");
  ASSERT_NE(response, nullptr);
  EXPECT_STREQ(response, "first\n\nthird\n");
  EXPECT_TRUE(Logged(" : # Soldier: hello"));
  EXPECT_FALSE(Logged("dropped"));
  EXPECT_TRUE(Console().connected);

  ConnectAndAnswer({"##only a hash line"});
  response = SendConsoleMessage("x");
  ASSERT_NE(response, nullptr);
  EXPECT_STREQ(response, "");
}

TEST_F(ConsoleLinkTest, StringWithoutItsZeroByteEndsAtItsLength) {
  console_.SetResponder([](const ConsoleRequest&) {
    return ConsoleReply{Word(2) + Word(3) + "abc" + CountedString("d")};
  });
  ASSERT_TRUE(ConnectConsole());
  const char* response = SendConsoleMessage("x");
  ASSERT_NE(response, nullptr);
  EXPECT_STREQ(response, "abc\nd\n");
}

TEST_F(ConsoleLinkTest, OutputRequestSendsNulKeyAndJoinsContinuations) {
  ConnectAndAnswer({"echo", "#PB player 1 abc", " 1.2.3.4", "-tail", ">", "", "plain", "##-- ev",
                    "##sharp", "xyz", ">", "next"});
  const char* output = ReadConsoleOutput();
  ASSERT_NE(output, nullptr);
  // Continuations of a "#" line lose their first character and join it; "##"
  // strings are kept here; the first string, ">" and empty strings are not.
  EXPECT_STREQ(output, "#PB player 1 abc1.2.3.4tail\nplain\n##sharpyz\nnext\n");
  EXPECT_TRUE(Logged(" : # ev"));

  const std::vector<ConsoleRequest> requests = console_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].raw,
            Word(2) + CountedString("ConsoleRun 0") + Word(2) + std::string(2, '\0'));
  EXPECT_TRUE(requests[0].IsOutputRequest());
}

TEST_F(ConsoleLinkTest, OutputOfOneStringIsEmpty) {
  ConnectAndAnswer({"#only the first"});
  const char* output = ReadConsoleOutput();
  ASSERT_NE(output, nullptr);
  EXPECT_STREQ(output, "");
}

TEST_F(ConsoleLinkTest, PeerClosingMidResponseDropsTheLink) {
  console_.SetResponder([](const ConsoleRequest&) {
    return ConsoleReply{Word(3) + CountedString("one") + Word(10) + "abc", true};
  });
  ASSERT_TRUE(ConnectConsole());
  EXPECT_EQ(SendConsoleMessage("x"), nullptr);
  EXPECT_FALSE(Console().connected);
  EXPECT_EQ(Console().socket, -1);
  EXPECT_EQ(State().errorCode, ECONNRESET);
  EXPECT_TRUE(Logged("Connection reset"));
  EXPECT_TRUE(Logged("Disconnected"));
}

TEST_F(ConsoleLinkTest, AbsurdCountOrLengthIsRefusedWithoutGrowing) {
  console_.SetResponder([](const ConsoleRequest&) { return ConsoleReply{Word(0xFFFFFFFF)}; });
  ASSERT_TRUE(ConnectConsole());
  EXPECT_EQ(SendConsoleMessage("x"), nullptr);
  EXPECT_FALSE(Console().connected);
  EXPECT_TRUE(Logged("Couldn't read console reply! It announces 4294967295 strings"));
  EXPECT_TRUE(Logged("Disconnected"));

  console_.SetResponder(
      [](const ConsoleRequest&) { return ConsoleReply{Word(1) + Word(UINT32_MAX)}; });
  ASSERT_TRUE(ConnectConsole());
  EXPECT_EQ(ReadConsoleOutput(), nullptr);
  EXPECT_FALSE(Console().connected);
  EXPECT_TRUE(Logged("A string of 4294967295 bytes exceeds the limit"));
  EXPECT_EQ(Console().outputBuffer.size(), kConsoleBufferStep);
}

TEST_F(ConsoleLinkTest, RepliesAddingUpBeyondTheLimitAreRefused) {
  const std::string big(kConsoleBufferLimit / 2, 'z');
  console_.SetResponder([big](const ConsoleRequest&) { return Reply({big, big, big}); });
  ASSERT_TRUE(ConnectConsole());
  EXPECT_EQ(SendConsoleMessage("x"), nullptr);
  EXPECT_FALSE(Console().connected);
  EXPECT_TRUE(Logged("exceeds the limit"));
  EXPECT_LE(Console().responseBuffer.size(), kConsoleBufferLimit);
}

TEST_F(ConsoleLinkTest, SilentConsoleFailsTheRequestAndDropsTheLink) {
  console_.SetResponder([](const ConsoleRequest&) { return ConsoleReply{}; });
  ASSERT_TRUE(ConnectConsole());
  EXPECT_EQ(SendConsoleMessage("x"), nullptr);
  EXPECT_FALSE(Console().connected);
  EXPECT_EQ(State().errorCode, EAGAIN);
  EXPECT_TRUE(Logged("Couldn't send message to console! " + std::string(ErrorText(EAGAIN))));
}

TEST_F(ConsoleLinkTest, SendingWhileDownFailsAndSaysSo) {
  EXPECT_EQ(SendConsoleMessage("quit"), nullptr);
  EXPECT_EQ(State().errorCode, EBADF);
  EXPECT_TRUE(Logged("Couldn't send message to console! "));
  EXPECT_TRUE(Logged("Disconnected"));

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
  EXPECT_EQ(SendConsoleMessage(""), nullptr);
#pragma GCC diagnostic pop
  EXPECT_EQ(State().errorCode, EINVAL);
}

TEST_F(ConsoleLinkTest, DisconnectClosesAndLogs) {
  ConnectAndAnswer({});
  DisconnectConsole();
  EXPECT_FALSE(Console().connected);
  EXPECT_EQ(Console().socket, -1);
  EXPECT_TRUE(Logged("Disconnected"));
}

TEST_F(ConsoleLinkTest, MessageLogHoldsRawRequestAndResponse) {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  State().messageLog = true;
  ConnectAndAnswer({"value 1", "##--x event"});
  const char* response = SendConsoleMessage("a\nb");
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(
      ReadFile(dir_ + "/message.log"),
      "--Message--" + StringList({"ConsoleMessage 0", "a", "b", "\r"}) + "--Response--value 1\n");
}

}  // namespace
}  // namespace keldor
