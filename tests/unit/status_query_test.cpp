// The UDP status query against an in-process fake status responder.
#include "gamelink/status_query.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "fake_status.h"
#include "runtime/options.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using fake::Answer;
using fake::Z;
using FakeResponder = fake::FakeStatusServer;
using testing::ReadFile;

class StatusQuery : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    StatusReplyBuffer().assign(kStatusReplySize, '\0');
    Row(Setting::ServerIP).current = 0x7F000001;
  }
};

TEST_F(StatusQuery, InfoRequestLayoutAndRewrite) {
  std::string seen;
  FakeResponder fake([&](const std::string& request) {
    seen = request;
    return Answer(request, Z("hostname") + Z("A") + Z("numplayers") + Z("3") + Z(""));
  });
  const char* text = QueryStatus(fake.port(), "\\INFO\\");
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "\\hostname\\A\\numplayers\\3\\");
  EXPECT_EQ(ErrorCode(), 0);
  ASSERT_EQ(seen.size(), 10u);
  EXPECT_EQ(seen.substr(0, 3), std::string("\xFE\xFD\x00", 3));
  EXPECT_EQ(seen.substr(7), std::string("\xFF\x00\x00", 3));
  EXPECT_STREQ(StatusValue(text, "numplayers"), "3");
  EXPECT_EQ(StatusValue(text, "mapname"), nullptr);
}

TEST_F(StatusQuery, StatusRequestAddsPlayersThenTeams) {
  FakeResponder fake([](const std::string& request) {
    return Answer(request, Z("hostport") + Z("15567") + Z("") + "x\x02" + Z("player_") +
                               Z("score_") + Z("") + Z("Ann") + Z("5") + Z("Bob") + Z("-2") +
                               "y\x01" + Z("team_t") + Z("") + Z("NVA"));
  });
  Opts().statusLog = true;
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  const char* text = QueryStatus(fake.port(), "\\status\\");
  ASSERT_EQ(chdir("/"), 0);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(
      text,
      "\\hostport\\15567\\player_0\\Ann\\score_0\\5\\player_1\\Bob\\score_1\\-2\\team_t0\\NVA\\");
  EXPECT_NE(ReadFile(dir_ / "status.log").find(" : [\\hostport\\15567\\"), std::string::npos);
}

TEST_F(StatusQuery, StatusValueLookups) {
  const char* text = "\\a\\b\\b\\c\\end\\tail";
  EXPECT_STREQ(StatusValue(text, "a"), "b");
  EXPECT_STREQ(StatusValue(text, "b"), "b");  // the value "b" shadows the key that follows
  EXPECT_STREQ(StatusValue(text, "end"), "tail");
  const std::string longValue = "\\k\\" + std::string(3000, 'v') + "\\";
  EXPECT_EQ(std::string(StatusValue(longValue.c_str(), "k")).size(), 1023u);
}

TEST_F(StatusQuery, HostileRepliesAreRefusedWhole) {
  const std::string nineFields = Z("a_") + Z("b_") + Z("c_") + Z("d_") + Z("e_") + Z("f_") +
                                 Z("g_") + Z("h_") + Z("i_") + Z("");
  const std::string cases[] = {
      Z("hostname") + Z("A"),                 // no end of section
      Z("hostname") + "unterminated",         // a string without its zero byte
      Z("") + "x\x01" + nineFields + Z("1"),  // more than eight field names
      Z("") + "x\x02" + Z("p_") + Z("") + Z("only one of two"),
      Z("k") + Z(std::string(2000, 'v')) + Z(""),  // one element past 1023 characters
  };
  for (const std::string& body : cases) {
    FakeResponder fake([&](const std::string& request) { return Answer(request, body); });
    const std::string name =
        body.find("x\x01") != std::string::npos || body.find("x\x02") != std::string::npos
            ? "\\status\\"
            : "\\info\\";
    EXPECT_EQ(QueryStatus(fake.port(), name.c_str()), nullptr) << body.size();
    EXPECT_EQ(StatusReplyBuffer()[0], '\0');
  }
  // A negative player count yields no player elements.
  FakeResponder negative([](const std::string& request) {
    return Answer(request, Z("") + "x\x80" + Z("p_") + Z("") + std::string("y\0", 2) + Z(""));
  });
  const char* text = QueryStatus(negative.port(), "\\status\\");
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
}

TEST_F(StatusQuery, OnlyTheServersReplyToThisRequestIsTaken) {
  FakeResponder fake([](const std::string&) {
    return std::string("\0\x01\x02\x03\x04", 5) + Z("hostname") + Z("X") + Z("");
  });
  EXPECT_EQ(QueryStatus(fake.port(), "\\info\\"), nullptr);
  EXPECT_EQ(ErrorCode(), ETIMEDOUT);
  EXPECT_EQ(QueryStatus(fake.port(), "\\rules\\"), nullptr);

  // The identifier is not to be guessed: two requests in the same second differ.
  std::vector<std::string> ids;
  fake.SetReply([&](const std::string& request) {
    ids.push_back(request.substr(3, 4));
    return Answer(request, Z("hostname") + Z("A") + Z(""));
  });
  ASSERT_NE(QueryStatus(fake.port(), "\\info\\"), nullptr);
  ASSERT_NE(QueryStatus(fake.port(), "\\info\\"), nullptr);
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_NE(ids[0], ids[1]);

  // A reply that echoes the identifier from another port is not the server's.
  const int forger = testing::BindLoopback(SOCK_DGRAM, 0);
  fake.AnswerFrom(forger);
  EXPECT_EQ(QueryStatus(fake.port(), "\\info\\"), nullptr);
  EXPECT_EQ(ErrorCode(), ETIMEDOUT);
  fake.AnswerFrom(-1);
  close(forger);
}

}  // namespace
}  // namespace keldor
