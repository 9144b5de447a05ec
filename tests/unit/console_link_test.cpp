// The game console link against an in-process fake console: login, request
// layouts, reply collection and hostile replies.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>

#include "core/error.h"
#include "fake_console.h"
#include "gamelink/console.h"
#include "loopback_pair.h"
#include "runtime/options.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using fake::ConsoleReply;
using fake::FakeConsole;
using fake::Reply;
using testing::CountedString;
using testing::LittleEndian;
using testing::ReadFile;
using testing::StringList;

class ConsoleLinkTest : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    console_.PrepareKeldor();
  }

  void ConnectAnswering(std::vector<ConsoleReply> replies) {
    console_.SetResponder(fake::InTurn(std::move(replies)));
    ASSERT_TRUE(ConnectConsole()) << ErrorText(ErrorCode());
  }
  void ExpectDropped() {
    EXPECT_FALSE(Console().connected);
    EXPECT_EQ(Console().socket, -1);
    EXPECT_TRUE(Logged("Disconnected"));
  }

  FakeConsole console_;
};

TEST_F(ConsoleLinkTest, LoginSendsMaskedCredentialsAndConnectsOnlyWhenAccepted) {
  // A password longer than the key shows the mask wrapping round; a user name
  // longer than 31 characters is cut.
  const std::string longUser(40, 'u');
  GameServer().consoleUser = longUser;
  GameServer().consolePass = "Sentinel-password";
  console_.ExpectCredentials(longUser.substr(0, 31), "other");
  EXPECT_FALSE(ConnectConsole());
  EXPECT_EQ(ErrorCode(), kErrConsoleLogin);
  EXPECT_EQ(Console().socket, -1);
  EXPECT_EQ(Log(), "");  // neither "Connected" nor "Disconnected"

  console_.ExpectCredentials(longUser.substr(0, 31), "Sentinel-password");
  ASSERT_TRUE(ConnectConsole()) << ErrorText(ErrorCode());
  EXPECT_TRUE(Logged("Connected"));
  EXPECT_TRUE(ConnectConsole());  // no second login while up
  EXPECT_EQ(console_.Observed().connections, 2);

  auto masked = [](const std::string& text) {
    std::string bytes = LittleEndian(static_cast<std::uint32_t>(text.size() + 1));
    for (std::size_t i = 0; i < text.size(); ++i) {
      bytes += static_cast<char>(text[i] ^ FakeConsole::kDefaultKey[i % 10]);
    }
    return bytes + std::string(1, '\0');
  };
  EXPECT_EQ(console_.Observed().loginBytes,
            masked(longUser.substr(0, 31)) + masked("Sentinel-password"));
}

TEST_F(ConsoleLinkTest, ConnectRefusesQuietlyOrWithItsOwnLines) {
  Row(Setting::ServerIP).current = 0;
  EXPECT_FALSE(ConnectConsole());
  EXPECT_TRUE(Logged("Couldn't connect to console, IP address is zero!"));

  console_.PrepareKeldor();
  // A port beyond 65535 would wrap onto some other port.
  Row(Setting::ConsolePort).current = 65536 + console_.Port();
  EXPECT_FALSE(ConnectConsole());
  EXPECT_EQ(ErrorCode(), 0);
  EXPECT_TRUE(Logged("Couldn't connect to console, port address " +
                     std::to_string(65536 + console_.Port()) + " is invalid!"));
  EXPECT_EQ(console_.Observed().connections, 0);

  // Nobody listening: refused, and no "Disconnected" for a link never up.
  Row(Setting::ConsolePort).current = testing::LoopbackListener().port();
  EXPECT_FALSE(ConnectConsole());
  EXPECT_EQ(ErrorCode(), ECONNREFUSED);
  EXPECT_EQ(Console().socket, -1);
  EXPECT_FALSE(Logged("Disconnected"));
}

TEST_F(ConsoleLinkTest, CommandRequestSplitsLinesCutsAndGrows) {
  ConnectAnswering({Reply({})});
  ASSERT_NE(SendConsoleCommands({"first", "", "third"}), nullptr);
  ASSERT_NE(SendConsoleCommands({""}), nullptr);
  ASSERT_NE(SendConsoleMessage("%s", std::string(3000, 'a').c_str()), nullptr);
  // Fills the first 2048 bytes exactly before the final "\r" string:
  // 4 (count) + 21 (name string) + 4 + 2018 + 1.
  ASSERT_NE(SendConsoleMessage("%s", std::string(2018, 'b').c_str()), nullptr);
  std::vector<std::string> many(1000, "k");
  std::vector<std::string> manyStrings = {"ConsoleMessage 0"};
  manyStrings.insert(manyStrings.end(), many.begin(), many.end());
  manyStrings.push_back("\r");
  ASSERT_NE(SendConsoleCommands(many), nullptr);
  // A line break inside a command never starts a second one, wherever it comes from.
  ASSERT_NE(SendConsoleMessage("admin.serverMessage \"%s\"", "x\nquit\r\v\fy"), nullptr);
  ASSERT_NE(SendConsoleCommands({"a\nquit", "b"}), nullptr);
  // An administrator's own text keeps its lines: a final newline adds no empty
  // line, two in a row send one.
  ASSERT_NE(SendConsoleLines("one\n\ntwo\n"), nullptr);
  ASSERT_NE(SendConsoleLines("\n"), nullptr);
  EXPECT_EQ(SendConsoleLines(""), nullptr);

  const auto requests = console_.Observed().requests;
  ASSERT_EQ(requests.size(), 9u);
  EXPECT_EQ(requests[0].raw, StringList({"ConsoleMessage 0", "first", "", "third", "\r"}));
  EXPECT_EQ(requests[1].raw, StringList({"ConsoleMessage 0", "", "\r"}));
  EXPECT_EQ(requests[2].raw, StringList({"ConsoleMessage 0", std::string(2047, 'a'), "\r"}));
  EXPECT_EQ(requests[3].raw, StringList({"ConsoleMessage 0", std::string(2018, 'b'), "\r"}));
  EXPECT_EQ(requests[4].raw, StringList(manyStrings));
  EXPECT_EQ(requests[5].raw,
            StringList({"ConsoleMessage 0", "admin.serverMessage \"x quit   y\"", "\r"}));
  EXPECT_EQ(requests[6].raw, StringList({"ConsoleMessage 0", "a quit", "b", "\r"}));
  EXPECT_EQ(requests[7].raw, StringList({"ConsoleMessage 0", "one", "", "two", "\r"}));
  EXPECT_EQ(requests[8].raw, StringList({"ConsoleMessage 0", "", "\r"}));
}

TEST_F(ConsoleLinkTest, CommandResponseKeepsPlainStringsAndHandlesEventLines) {
  ConnectAnswering({Reply({"first", "##-- Soldier: hello", "##dropped", "", "third", "##--"}),
                    // A string that lacks its zero byte ends at its length.
                    {LittleEndian(2) + LittleEndian(3) + "abc" + CountedString("d")}});
  const char* response = SendConsoleMessage("game.listPlayers");
  ASSERT_NE(response, nullptr);
  EXPECT_STREQ(response, "first\n\nthird\n");
  EXPECT_TRUE(Logged(" : # Soldier: hello"));
  EXPECT_FALSE(Logged("dropped"));

  response = SendConsoleMessage("x");
  ASSERT_NE(response, nullptr);
  EXPECT_STREQ(response, "abc\nd\n");
  EXPECT_TRUE(Console().connected);
}

TEST_F(ConsoleLinkTest, OutputRequestSendsNulKeyAndJoinsContinuations) {
  ConnectAnswering({Reply({"echo", "#PB player 1 abc", " 1.2.3.4", "-tail", ">", "", "plain",
                           "##-- ev", "##sharp", "xyz", ">", "next"}),
                    Reply({})});
  const char* output = ReadConsoleOutput();
  ASSERT_NE(output, nullptr);
  // Continuations of a "#" line lose their first character and join it; "##"
  // strings are kept here; the first string, ">" and empty strings are not.
  EXPECT_STREQ(output, "#PB player 1 abc1.2.3.4tail\nplain\n##sharpyz\nnext\n");
  EXPECT_TRUE(Logged(" : # ev"));
  output = ReadConsoleOutput();
  ASSERT_NE(output, nullptr);
  EXPECT_STREQ(output, "");

  const auto requests = console_.Observed().requests;
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].raw, LittleEndian(2) + CountedString("ConsoleRun 0") + LittleEndian(2) +
                                 std::string(2, '\0'));
}

TEST_F(ConsoleLinkTest, AbsurdCountsAndLengthsAreRefusedWithoutGrowing) {
  ConnectAnswering({{LittleEndian(0xFFFFFFFF)}});
  EXPECT_EQ(SendConsoleMessage("x"), nullptr);
  EXPECT_TRUE(Logged("Couldn't read console reply! It announces 4294967295 strings"));
  ExpectDropped();

  ConnectAnswering({{LittleEndian(1) + LittleEndian(UINT32_MAX)}});
  EXPECT_EQ(ReadConsoleOutput(), nullptr);
  EXPECT_TRUE(Logged("A string of 4294967295 bytes exceeds the limit"));
  EXPECT_EQ(Console().outputBuffer.size(), kConsoleBufferStep);

  // A length within the limit that is never sent: the room grows with what arrives.
  ConnectAnswering({{LittleEndian(1) + LittleEndian(kConsoleBufferLimit / 2) + "abc", true}});
  EXPECT_EQ(ReadConsoleOutput(), nullptr);
  ExpectDropped();
  EXPECT_LT(Console().outputBuffer.size(), 128u * 1024);

  // Strings that are each acceptable but add up beyond the limit.
  const std::string big(kConsoleBufferLimit / 2, 'z');
  ConnectAnswering({Reply({big, big, big})});
  EXPECT_EQ(SendConsoleMessage("x"), nullptr);
  EXPECT_TRUE(Logged("A string of " + std::to_string(big.size() + 1) + " bytes exceeds"));
  EXPECT_LE(Console().responseBuffer.size(), kConsoleBufferLimit);
}

TEST_F(ConsoleLinkTest, FailedExchangesDropTheLinkWithTheirReason) {
  ConnectAnswering({{LittleEndian(3) + CountedString("one") + LittleEndian(10) + "abc", true}});
  EXPECT_EQ(SendConsoleMessage("x"), nullptr);
  EXPECT_EQ(ErrorCode(), ECONNRESET);  // the peer closed in the middle of its reply
  EXPECT_TRUE(Logged("Connection reset"));
  ExpectDropped();

  ConnectAnswering({{}});  // a console that never answers
  EXPECT_EQ(SendConsoleMessage("x"), nullptr);
  EXPECT_EQ(ErrorCode(), EAGAIN);
  EXPECT_TRUE(Logged("Couldn't send message to console! " + std::string(ErrorText(EAGAIN))));
  ExpectDropped();
}

TEST_F(ConsoleLinkTest, MessageLogHoldsRawRequestAndResponse) {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  Opts().messageLog = true;
  ConnectAnswering({Reply({"value 1", "##--x event"})});
  const char* response = SendConsoleCommands({"a", "b"});
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(
      ReadFile(dir_ / "message.log"),
      "--Message--" + StringList({"ConsoleMessage 0", "a", "b", "\r"}) + "--Response--value 1\n");
}

}  // namespace
}  // namespace keldor
