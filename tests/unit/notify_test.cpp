// Notifications over real loopback connections (layout, a descriptor that is no
// socket, a client that does not read), the status text, the client list and
// the private copy of the log tail. Which clients
// each notification reaches is shown end to end in dispatch_transfer_test.
#include "remote/notify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "daemon/main_loop.h"
#include "fake_status.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "loopback_pair.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"
#include "state_fixture.h"
#include "wire/protocol.h"

namespace keldor {
namespace {

using testing::LittleEndian;
using testing::LoopbackListener;
using testing::ReceiveAvailable;

class Notify : public testing::StateTest {
 protected:
  void TearDown() override {
    for (int fd : open_) close(fd);
    StateTest::TearDown();
  }

  // A connected client in `slot`; returns the client's end.
  int Connect(int slot, const std::string& name = "user") {
    const auto [daemon, client] = listener_.Pair();
    fcntl(daemon, F_SETFL, O_NONBLOCK);
    open_.push_back(client);
    Connections()[slot] = Connection{daemon, name, "127.0.0.1:" + std::to_string(slot), 1, {}};
    return client;
  }
  LoopbackListener listener_;
  std::vector<int> open_;
};

TEST_F(Notify, OneClientGetsCodeLengthAndDataAndOnlyRealSlotsAreSentTo) {
  const int client = Connect(2);
  ASSERT_TRUE(NotifyClient(2, NOTE_PONG, nullptr, 0));
  ASSERT_TRUE(NotifyClientText(2, NOTE_MAP_CHANGED, "Hue GPM_CQ bfvietnam"));
  EXPECT_EQ(ReceiveAvailable(client), LittleEndian(0xBEEF0029) + LittleEndian(0) +
                                          LittleEndian(0xBEEF0018) + LittleEndian(21) +
                                          std::string("Hue GPM_CQ bfvietnam\0", 21));

  EXPECT_TRUE(NotifyClient(0, NOTE_PONG, nullptr, 0));   // Keldor itself: nothing to send
  EXPECT_FALSE(NotifyClient(3, NOTE_PONG, nullptr, 0));  // free
  EXPECT_FALSE(NotifyClient(17, NOTE_PONG, nullptr, 0));
  EXPECT_EQ(ReceiveAvailable(client), "");
}

TEST_F(Notify, DescriptorThatIsNoSocketIsReleasedButLeftOpen) {
  const int before = Connect(1);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  open_.push_back(pipeEnds[0]);
  open_.push_back(pipeEnds[1]);
  Connections()[2] = Connection{pipeEnds[1], "gone", "10.0.0.2:2", 1, {}};
  const int after = Connect(3);

  EXPECT_TRUE(NotifyAllClients(NOTE_BANS_CHANGED, nullptr, 0, 0));
  EXPECT_FALSE(SlotInUse(2));
  EndGivenUpConnections();                     // as the main loop does after the step
  EXPECT_NE(fcntl(pipeEnds[1], F_GETFD), -1);  // its new owner keeps it
  EXPECT_TRUE(Logged("Couldn't notify client at 10.0.0.2:2!"));
  const std::string note = LittleEndian(0xBEEF000C) + LittleEndian(0);
  EXPECT_EQ(ReceiveAvailable(before), note);
  EXPECT_EQ(ReceiveAvailable(after), note);
}

TEST_F(Notify, ClientThatStopsReadingIsCutOffRatherThanLeftOutOfStep) {
  const int client = Connect(1);
  const int daemon = Connections()[1].fd.get();
  int small = 4096;
  setsockopt(daemon, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string text(1000, 'x');
  int sent = 0;
  while (sent < 100000 && NotifyClientText(1, NOTE_CONSOLE_EVENT, text)) ++sent;
  ASSERT_LT(sent, 100000);
  EXPECT_EQ(ErrorCode(), EAGAIN);
  EXPECT_TRUE(Logged("Couldn't notify client at 127.0.0.1:1!"));
  EXPECT_FALSE(SlotInUse(1));
  EndGivenUpConnections();  // as the main loop does after the step
  // The client reads what arrived and then finds the connection ended.
  EXPECT_TRUE(testing::PeerClosed(client));
}

class StatusText : public Notify {
 protected:
  void SetUp() override {
    Notify::SetUp();
    Row(Setting::ServerName).text = "My, Server";
    Row(Setting::ServerIP).current = static_cast<std::int32_t>(INADDR_LOOPBACK);
    Row(Setting::ServerPort).current = 15567;
    StatusReplyBuffer().assign(kStatusReplySize, '\0');
    const std::time_t zero = 0;
    char text[64];
    epoch_ = ctime_r(&zero, text);
  }
  std::string epoch_;
};

TEST_F(StatusText, LinkUpQueriesTheGameAndShowsItsValuesInWords) {
  fake::FakeStatusServer responder;
  responder.AnswerInfo({"hostport", "15567"});
  Row(Setting::GameSpyLANPort).current = responder.port();
  ASSERT_TRUE(FindStatusPort());
  Console().connected = true;
  GameServer().monitoring = true;
  Opts().punkBusterInstalled = true;
  responder.AnswerInfo({"numplayers", "5",        "maxplayers",    "32",       "gamemode",
                        "conquest",   "gamever",  "v1.21",         "password", "1",
                        "tk_mode",    "punish",   "content_check", "2",        "roundTimeRemain",
                        "-1",         "tickets1", "100",           "tickets2", "90",
                        "mapname",    "Hue City", "gametype",      "Conquest", "game_id",
                        "BfVietnam"});
  // The level comes from the game's rotation while the server runs.
  testing::WriteFile(Opts().settingsDir + "/maplist.con",
                     "game.addLevelToRotation a GPM_CQ x\r\n  game.setCurrentLevel  "
                     "khe_sanh GPM_COOP my mod\r\n");
  std::string text;
  ASSERT_TRUE(GetServerStatusString(&text)) << ErrorText(ErrorCode());
  EXPECT_EQ(
      text,
      "\"My, Server\",127.0.0.1:15567,5 of 32,hue_city GPM_CQ bfvietnam,khe_sanh "
      "GPM_COOP my mod,,Started ," +
          epoch_ +
          ",Connected,conquest,v1.21,Yes,punish,Unpure mode,0 / 0 / 0,0 / 0 / 0,Unlimited,100 / "
          "90,Disabled (version unknown),");
  // A query that fails leaves nothing to send: the request is answered with 0.
  Row(Setting::ServerIP).current = 0;
  ForgetStatusPort();
  EXPECT_FALSE(GetServerStatusString(&text));
  EXPECT_EQ(text, "");
  Console().connected = false;
}

TEST_F(Notify, ClientListHasALineEachAndAnEmptyLineAfterARequestTime) {
  std::tm local{};  // 6 December 2026, 07:00 local time
  local.tm_year = 126;
  local.tm_mon = 11;
  local.tm_mday = 6;
  local.tm_hour = 7;
  local.tm_isdst = -1;
  Connections()[2] = Connection{-1, "Alice", "10.0.0.1:4000", 1, std::mktime(&local)};
  Connections()[5] = Connection{-1, "", "10.0.0.2:4001", 1, {}};
  const std::string path = dir_ / "sub/dir/clientlist.con";
  ASSERT_TRUE(WriteClientList(path));
  EXPECT_EQ(testing::ReadFile(path),
            "\"Alice\",2,10.0.0.1:4000,Connected,Sun Dec  6 07:00:00 2026\n\n"
            "\"*\",5,10.0.0.2:4001,Connected,*\n");
  EXPECT_FALSE(WriteClientList(path + "/under/a/file"));
}

// The log tail goes out through a private file of its own: never a fixed name
// in /tmp that another user could plant a link at.
TEST_F(Notify, LogTailIsCopiedIntoAPrivateNewFile) {
  const std::string fixed = "/tmp/keldor.log";
  const bool plant = !std::filesystem::exists(std::filesystem::symlink_status(fixed));
  if (plant) std::filesystem::create_symlink(dir_ / "victim", fixed);
  testing::WriteFile(dir_ / "victim", "precious");
  testing::WriteFile(LogFilePath(), std::string(7232, 'a') + std::string(32768, 'b'));
  std::string path;
  ASSERT_TRUE(CopyLogTail(&path));
  EXPECT_TRUE(path.starts_with("/tmp/")) << path;
  EXPECT_NE(path, fixed);
  EXPECT_EQ(testing::ReadFile(path), std::string(32768, 'b'));  // the last 32768 bytes
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600U);
  std::filesystem::remove(path);
  if (plant) std::filesystem::remove(fixed);
  EXPECT_EQ(testing::ReadFile(dir_ / "victim"), "precious");

  Logging().directory = dir_ / "nowhere";  // no log there: nothing is left behind
  std::string failed = "stale";
  EXPECT_FALSE(CopyLogTail(&failed));
  EXPECT_EQ(failed, "");
}

}  // namespace
}  // namespace keldor
