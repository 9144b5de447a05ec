// Notifications over real loopback connections (layout, to all but one, a
// descriptor that is no socket, a client that does not read), the status text,
// the PunkBuster version, the client list and the private copy of the log tail.
#include "remote/notify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "daemon/main_loop.h"
#include "daemon/startup.h"
#include "fake_console.h"
#include "fake_status.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "loopback_pair.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"
#include "state_fixture.h"
#include "test_support.h"
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
    open_.push_back(daemon);
    open_.push_back(client);
    ClientSlots()[slot] = ClientSlot{daemon, name, "127.0.0.1:" + std::to_string(slot), 1, ""};
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
  EXPECT_FALSE(NotifyClient(-1, NOTE_PONG, nullptr, 0));
  EXPECT_EQ(ReceiveAvailable(client), "");
}

TEST_F(Notify, AllClientsButTheExceptedOneAreReached) {
  std::vector<int> clients(kClientSlots, -1);
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) clients[slot] = Connect(slot);
  ASSERT_TRUE(NotifyAllClients(NOTE_ROTATION_CHANGED, nullptr, 0, 5));
  ASSERT_TRUE(NotifyAllClients(NOTE_SERVER_STARTED, nullptr, 0, 0));
  const std::string rotation = LittleEndian(0xBEEF000B) + LittleEndian(0);
  const std::string started = LittleEndian(0xBEEF0003) + LittleEndian(0);
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
    EXPECT_EQ(ReceiveAvailable(clients[slot], 0.05), slot == 5 ? started : rotation + started)
        << slot;
  }
}

TEST_F(Notify, DescriptorThatIsNoSocketIsReleasedButLeftOpen) {
  const int before = Connect(1);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  open_.push_back(pipeEnds[0]);
  open_.push_back(pipeEnds[1]);
  ClientSlots()[2] = ClientSlot{pipeEnds[1], "gone", "10.0.0.2:2", 1, ""};
  const int after = Connect(3);

  EXPECT_TRUE(NotifyAllClients(NOTE_BANS_CHANGED, nullptr, 0, 0));
  EXPECT_FALSE(SlotInUse(2));
  EndGivenUpConnections();                     // as the main loop does after the step
  EXPECT_NE(fcntl(pipeEnds[1], F_GETFD), -1);  // its new owner keeps it
  EXPECT_NE(Log().find("Couldn't notify client at 10.0.0.2:2!"), std::string::npos);
  EXPECT_NE(Log().find("Client at 10.0.0.2:2 has disconnected."), std::string::npos);
  const std::string note = LittleEndian(0xBEEF000C) + LittleEndian(0);
  EXPECT_EQ(ReceiveAvailable(before), note);
  EXPECT_EQ(ReceiveAvailable(after), note);
}

TEST_F(Notify, ClientThatStopsReadingIsCutOffRatherThanLeftOutOfStep) {
  const int client = Connect(1);
  const int daemon = ClientSlots()[1].socket;
  int small = 4096;
  setsockopt(daemon, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string text(1000, 'x');
  int sent = 0;
  while (sent < 100000 && NotifyClientText(1, NOTE_CONSOLE_EVENT, text)) ++sent;
  ASSERT_LT(sent, 100000);
  EXPECT_EQ(ErrorCode(), EAGAIN);
  EXPECT_NE(Log().find("Couldn't notify client at 127.0.0.1:1!"), std::string::npos);
  EXPECT_FALSE(SlotInUse(1));
  EndGivenUpConnections();  // as the main loop does after the step
  std::erase(open_, daemon);
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
  }
  static std::string Epoch() {
    const std::time_t zero = 0;
    char text[64];
    return ctime_r(&zero, text);
  }
  // Points the status query at the responder and brings the console link "up".
  void LinkUp() {
    responder_.AnswerInfo({"hostport", "15567"});
    Row(Setting::GameSpyLANPort).current = responder_.port();
    ASSERT_TRUE(FindStatusPort());
    Console().connected = true;
  }
  fake::FakeStatusServer responder_;
};

TEST_F(StatusText, LinkDownShowsDashesAndQuestionMarksButTheServerFacts) {
  const std::string reply = "\\numplayers\\5\\maxplayers\\32\\gamemode\\conquest\\";
  std::copy(reply.begin(), reply.end(), StatusReplyBuffer().begin());
  std::string text;
  ASSERT_TRUE(GetServerStatusString(&text));
  EXPECT_EQ(text, "\"My, Server\",127.0.0.1:15567,-- of 32,??,??,,Stopped ," + Epoch() +
                      ",Disconnected,??,??,??,??,??,??,??,??,??,Not installed,");
}

TEST_F(StatusText, LinkUpQueriesTheGameAndShowsItsValuesInWords) {
  LinkUp();
  GameServer().monitoring = true;
  Opts().punkBusterInstalled = true;
  responder_.AnswerInfo({"numplayers", "5",        "maxplayers",    "32",       "gamemode",
                         "conquest",   "gamever",  "v1.21",         "password", "1",
                         "tk_mode",    "punish",   "content_check", "2",        "roundTimeRemain",
                         "-1",         "tickets1", "100",           "tickets2", "90"});
  std::string text;
  ASSERT_TRUE(GetServerStatusString(&text)) << ErrorText(ErrorCode());
  EXPECT_EQ(text, "\"My, Server\",127.0.0.1:15567,5 of 32,??,??,,Started ," + Epoch() +
                      ",Connected,conquest,v1.21,Yes,punish,Unpure mode,??,??,Unlimited,100 / "
                      "90,Disabled (version unknown),");

  responder_.AnswerInfo({"password", "0", "content_check", "1", "roundTimeRemain", "600"});
  ASSERT_TRUE(GetServerStatusString(&text));
  EXPECT_NE(text.find(",No,??,Pure mode,??,??,600,?? / ??,"), std::string::npos) << text;
  responder_.AnswerInfo({"password", "x", "content_check", "0", "gamemode", std::string(900, 'm')});
  ASSERT_TRUE(GetServerStatusString(&text));
  EXPECT_NE(text.find(",??,??,Disabled,"), std::string::npos) << text;

  // A query that fails leaves nothing to send: the request is answered with 0.
  Row(Setting::ServerIP).current = 0;
  ForgetStatusPort();
  EXPECT_FALSE(GetServerStatusString(&text));
  EXPECT_EQ(text, "");
  Console().connected = false;
}

TEST_F(Notify, PunkBusterVersionIsTheParenthesisedPartOfTheAnswer) {
  EXPECT_EQ(PunkBusterVersion(), "(version unknown)");  // link down
  fake::FakeConsole console;
  console.PrepareKeldor();
  std::string answer = "PunkBuster Server: v1.700 (A1382 C2.145) Running";
  console.SetResponder([&answer](const fake::ConsoleRequest& request) {
    if (request.IsOutputRequest()) return fake::Reply({request.strings[0], answer});
    return fake::Reply({""});
  });
  ASSERT_TRUE(ConnectConsole()) << ErrorText(ErrorCode());
  EXPECT_EQ(PunkBusterVersion(), "(A1382 C2.145)");
  answer = "PunkBuster Server: v1.700 without parentheses";
  EXPECT_EQ(PunkBusterVersion(), "(version unknown)");
  answer = "half (open only";
  EXPECT_EQ(PunkBusterVersion(), "(version unknown)");
  ResetConsoleLink();
}

TEST_F(Notify, ClientListHasALineEachAndAnEmptyLineAfterARequestTime) {
  ClientSlots()[2] = ClientSlot{10, "Alice", "10.0.0.1:4000", 1, "Sun Dec  6 07:00:00 2026\n"};
  ClientSlots()[5] = ClientSlot{11, "", "10.0.0.2:4001", 1, ""};
  const std::string path = dir_ / "sub/dir/clientlist.con";
  ASSERT_TRUE(WriteClientList(path));
  EXPECT_EQ(testing::ReadFile(path),
            "\"Alice\",2,10.0.0.1:4000,Connected,Sun Dec  6 07:00:00 2026\n\n"
            "\"*\",5,10.0.0.2:4001,Connected,*\n");

  ClientSlots() = ClientSlotTable{};
  ASSERT_TRUE(WriteClientList(path));
  EXPECT_EQ(testing::ReadFile(path), "");
  EXPECT_FALSE(WriteClientList(path + "/under/a/file"));
}

class LogTail : public Notify {
 protected:
  // Replaces the log with `size` numbered bytes and returns them.
  std::string WriteLog(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t k = 0; k < size; ++k) text[k] = static_cast<char>('a' + (k * 7 + k / 26) % 26);
    testing::WriteFile(LogFilePath(), text);
    return text;
  }
  std::string Copy() {
    std::string path;
    EXPECT_TRUE(CopyLogTail(&path));
    copies_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (const std::string& path : copies_) std::filesystem::remove(path);
    Notify::TearDown();
  }
  std::vector<std::string> copies_;
};

TEST_F(LogTail, CopiesTheLast32768BytesIntoAPrivateNewFile) {
  const std::string log = WriteLog(40000);
  const std::string path = Copy();
  EXPECT_TRUE(path.starts_with("/tmp/"));
  EXPECT_EQ(testing::ReadFile(path), log.substr(40000 - 32768));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600U);

  const std::string exact = WriteLog(32768);
  const std::string second = Copy();
  EXPECT_NE(second, path);  // never a shared fixed name
  EXPECT_EQ(testing::ReadFile(second), exact);
  const std::string small = WriteLog(100);
  EXPECT_EQ(testing::ReadFile(Copy()), small);

  Logging().directory = dir_ / "nowhere";  // no log there: nothing is left behind
  std::string failed = "stale";
  EXPECT_FALSE(CopyLogTail(&failed));
  EXPECT_EQ(failed, "");
}

TEST_F(LogTail, PlantedLinkAtTheOldFixedNameIsNotFollowed) {
  const std::string fixed = "/tmp/keldor.log";
  if (std::filesystem::exists(std::filesystem::symlink_status(fixed))) {
    GTEST_SKIP() << fixed << " exists already";
  }
  const std::string victim = dir_ / "victim";
  testing::WriteFile(victim, "precious");
  std::filesystem::create_symlink(victim, fixed);
  WriteLog(40000);
  const std::string path = Copy();
  std::filesystem::remove(fixed);
  EXPECT_NE(path, fixed);
  EXPECT_EQ(testing::ReadFile(victim), "precious");
}

}  // namespace
}  // namespace keldor
