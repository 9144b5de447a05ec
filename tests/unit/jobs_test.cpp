// The command queue and its jobs against an in-process fake console: cutting of
// messages, the queue's capacity and order, due times, and job texts that lack
// their fields.
#include "remote/jobs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "daemon/startup.h"
#include "fake_console.h"
#include "gamelink/console.h"
#include "loopback_pair.h"
#include "process/server_process.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "standins/standins.h"
#include "state_fixture.h"
#include "test_support.h"

namespace keldor {
namespace {

using fake::ConsoleReply;
using fake::FakeConsole;
using fake::Reply;
using keldor::testing::ReadFile;

constexpr std::time_t kStart = 1700000000;
const std::string kBlank(1, kChatBlank);
const std::string kEnd(1, kBanFieldEnd);

class JobsTest : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    Opts().settingsDir = dir_.path();
    PinClock(kStart);
    console_.PrepareKeldor();
  }
  void TearDown() override {
    StateTest::TearDown();
    UnpinClock();
  }

  void Connect() {
    console_.SetResponder([](const fake::ConsoleRequest&) { return Reply({}); });
    ASSERT_TRUE(ConnectConsole());
    seen_ = console_.Observed().requests.size();
  }
  // Every command line the console received since Connect, in order.
  std::vector<std::string> Commands() const {
    std::vector<std::string> lines;
    const auto requests = console_.Observed().requests;
    for (std::size_t i = seen_; i < requests.size(); ++i) {
      if (requests[i].IsOutputRequest()) continue;
      for (const std::string& line : requests[i].Lines()) lines.push_back(line);
    }
    return lines;
  }
  static void Run(std::uint32_t code, const std::string& text, std::int32_t actor = 0) {
    QueuedCommand job;
    job.code = code;
    job.text = text;
    job.actor = actor;
    RunJob(job);
  }

  FakeConsole console_;
  std::size_t seen_ = 0;
};

TEST(CutIntoPiecesTest, CutsAtTheLastSeparatorWithinSixtyThree) {
  EXPECT_TRUE(CutIntoPieces("", ' ').empty());
  EXPECT_EQ(CutIntoPieces(std::string(63, 'a'), ' '),
            std::vector<std::string>{std::string(63, 'a')});
  // No separator: hard cut at 63, the 64th character starts the next piece.
  EXPECT_EQ(CutIntoPieces(std::string(130, 'b'), ' '),
            (std::vector<std::string>{std::string(63, 'b'), std::string(63, 'b'), "bbbb"}));
  // A separator as the 64th character still gives a full first piece and is dropped.
  EXPECT_EQ(CutIntoPieces(std::string(63, 'c') + " " + "dd", ' '),
            (std::vector<std::string>{std::string(63, 'c'), "dd"}));
  // A separator only as the very first character is not a cut: no empty piece.
  EXPECT_EQ(CutIntoPieces(" " + std::string(70, 'e'), ' '),
            (std::vector<std::string>{" " + std::string(62, 'e'), std::string(8, 'e')}));
  // Words are kept whole: the cut goes before the word that would not fit.
  const std::string words = std::string(40, 'x') + " " + std::string(30, 'y') + " z";
  EXPECT_EQ(CutIntoPieces(words, ' '),
            (std::vector<std::string>{std::string(40, 'x'), std::string(30, 'y') + " z"}));
}

TEST_F(JobsTest, LongChatIsSentInPiecesWithBlanksAsTheChatByte) {
  Connect();
  std::string text;
  for (int i = 0; i < 20; ++i) text += "word" + std::to_string(i) + " ";  // about 130 characters
  Run(JOB_SAY_ALL, text, 0);
  const auto commands = Commands();
  ASSERT_GE(commands.size(), 2u);
  std::string joined;
  for (const std::string& line : commands) {
    ASSERT_EQ(line.rfind("game.sayAll \"", 0), 0u) << line;
    ASSERT_EQ(line.back(), '"');
    const std::string piece = line.substr(13, line.size() - 14);
    EXPECT_LE(piece.size(), kMessagePieceMax);
    EXPECT_EQ(piece.find(' '), std::string::npos);
    if (!joined.empty()) joined += kBlank;
    joined += piece;
  }
  std::string expected = text;
  for (char& c : expected) c = c == ' ' ? kChatBlank : c;
  EXPECT_EQ(joined, expected);
  EXPECT_TRUE(Logged("User operator at console said 'word0 word1"));  // the log shows blanks
}

TEST_F(JobsTest, StarredChatIsNotLoggedButServerMessagesAlwaysAre) {
  Connect();
  Run(JOB_SAY_ALL, "*announcement text");
  EXPECT_EQ(Commands(),
            std::vector<std::string>{"game.sayAll \"*announcement" + kBlank + "text\""});
  EXPECT_FALSE(Logged("said"));

  std::string message = "*" + std::string(60, 'm') + kBlank + "tail end";
  Run(JOB_SERVER_MESSAGE, message);
  const auto commands = Commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[1], "admin.serverMessage \"*" + std::string(60, 'm') + "\"");
  EXPECT_EQ(commands[2], "admin.serverMessage \"tail end\"");
  EXPECT_TRUE(Logged("User operator at console said '*" + std::string(60, 'm') + " tail end'."));
}

TEST_F(JobsTest, ChatAndServerMessageTellTheRequesterEitherSentOrFailed) {
  const testing::LoopbackListener listener;
  const auto [daemon, client] = listener.Pair();
  ClientSlots()[1] = ClientSlot{daemon, "carol", "127.0.0.1:1", 1, ""};
  const auto note = [](std::uint32_t code) {
    return testing::LittleEndian(code) + testing::LittleEndian(0);
  };
  Run(JOB_SAY_ALL, "hello", 1);  // the console link is down
  Run(JOB_SERVER_MESSAGE, "hello", 1);
  EXPECT_EQ(testing::ReceiveAvailable(client),
            note(NOTE_COMMAND_FAILED) + note(NOTE_COMMAND_FAILED));
  EXPECT_FALSE(Logged("said"));
  Connect();
  Run(JOB_SAY_ALL, "hello", 1);
  Run(JOB_SERVER_MESSAGE, "hello", 1);
  EXPECT_EQ(testing::ReceiveAvailable(client),
            note(NOTE_CHAT_SENT) + note(NOTE_SERVER_MESSAGE_SENT));
  close(daemon);
  close(client);
}

TEST_F(JobsTest, LineBreaksInATextCannotSmuggleASecondCommand) {
  Connect();
  Run(JOB_SAY_ALL, "hello\nadmin.banPlayer 3");
  Run(JOB_CHANGE_MAP, "Hue GPM_CQ bfvietnam\r\nadmin.kickPlayer 1");
  for (const std::string& line : Commands()) {
    EXPECT_TRUE(line.rfind("game.sayAll", 0) == 0 || line.rfind("admin.changeMap", 0) == 0) << line;
  }
  EXPECT_EQ(Commands().size(), 2u);
}

TEST_F(JobsTest, FullQueueDropsTheNewJobWithItsMessage) {
  for (std::size_t i = 0; i < kQueueCapacity; ++i) {
    EXPECT_TRUE(QueueJob(JOB_SAY_ALL, std::to_string(i).c_str(), 0, 5));
  }
  EXPECT_FALSE(QueueJob(JOB_SERVER_MESSAGE, "lost", 0, 0));
  EXPECT_TRUE(Logged("DEBUG: Couldn't queue command B00B0017, the queue is full!"));
  EXPECT_FALSE(QueueJobOnce(JOB_CONSOLE_POLL, nullptr, 0, 0));
  EXPECT_TRUE(Logged("Couldn't queue command B00B0020! The queue is full."));
  for (const QueuedCommand& entry : JobQueue()) EXPECT_EQ(entry.code, JOB_SAY_ALL);
  EXPECT_EQ(JobQueue()[kQueueCapacity - 1].text, "31");
}

TEST_F(JobsTest, QueueJobOnceKeepsOneEntryPerCodeAndTextsAreCut) {
  QueueJobOnce(JOB_CONSOLE_POLL, nullptr, 0, 0);
  QueueJobOnce(JOB_CONSOLE_POLL, nullptr, 0, 0);
  QueueJob(JOB_SAY_ALL, std::string(400, 't').c_str(), 3, 0);
  QueueJobOnce(JOB_SAY_ALL, "other", 0, 0);
  EXPECT_EQ(JobQueue()[0].code, JOB_CONSOLE_POLL);
  EXPECT_EQ(JobQueue()[1].code, JOB_SAY_ALL);
  EXPECT_EQ(JobQueue()[1].text, std::string(kJobTextMax, 't'));
  EXPECT_EQ(JobQueue()[1].actor, 3);
  EXPECT_EQ(JobQueue()[2].code, 0u);

  QueueBroadcast(0xBEEF0003);
  EXPECT_EQ(JobQueue()[2].code, JOB_BROADCAST);
  EXPECT_EQ(JobQueue()[2].text, "-1091633149");
}

TEST_F(JobsTest, JobsWaitForTheirDueTimeWithoutHoldingUpOthers) {
  Connect();
  QueueJob(JOB_SAY_ALL, "late", 0, KickDelay());
  QueueJob(JOB_SAY_ALL, "now", 0, 0);
  RunDueJobs();
  EXPECT_EQ(Commands(), std::vector<std::string>{"game.sayAll \"now\""});
  EXPECT_EQ(JobQueue()[0].text, "late");
  EXPECT_EQ(JobQueue()[0].due, kStart + 12);
  AdvanceClock(11);
  RunDueJobs();
  EXPECT_EQ(Commands().size(), 1u);
  AdvanceClock(1);
  RunDueJobs();
  EXPECT_EQ(Commands().back(), "game.sayAll \"late\"");
  EXPECT_EQ(JobQueue()[0].code, 0u);

  Opts().kickDelay = false;  // -nodelay
  EXPECT_EQ(KickDelay(), 0u);
}

// Jobs due together run in the order they were queued, all in one call, so that
// clients see events in the order of the work (a crash before the restart).
TEST_F(JobsTest, DueJobsRunInQueueingOrder) {
  Connect();
  QueueJob(JOB_SAY_ALL, "A", 0, 0);
  QueueJob(JOB_SAY_ALL, "wait", 0, 30);
  QueueJob(JOB_SAY_ALL, "B", 0, 0);
  QueueJob(JOB_SAY_ALL, "C", 0, 0);
  QueueJob(JOB_SAY_ALL, "D", 0, 0);
  RunDueJobs();
  EXPECT_EQ(Commands(), (std::vector<std::string>{"game.sayAll \"A\"", "game.sayAll \"B\"",
                                                  "game.sayAll \"C\"", "game.sayAll \"D\""}));
  EXPECT_EQ(JobQueue()[0].text, "wait");
  EXPECT_EQ(JobQueue()[1].code, 0u);
}

TEST_F(JobsTest, PollWhileDownQueuesOneConnectThatRunsOnTheNextCall) {
  console_.SetResponder([](const fake::ConsoleRequest&) { return Reply({}); });
  QueueJobOnce(JOB_CONSOLE_POLL, nullptr, 0, 0);
  RunDueJobs();
  EXPECT_FALSE(Console().connected);  // a job queued by a job waits for the next call
  EXPECT_EQ(JobQueue()[0].code, JOB_CONNECT_CONSOLE);
  RunDueJobs();
  EXPECT_TRUE(Console().connected);
  EXPECT_EQ(JobQueue()[0].code, 0u);

  GameServer().monitoring = false;
  DisconnectConsole();
  Run(JOB_CONSOLE_POLL, "");
  EXPECT_EQ(JobQueue()[0].code, 0u);  // no server, no reconnect
}

TEST_F(JobsTest, KickAndBanTextsThatLackFieldsAreRefusedQuietly) {
  Connect();
  for (const char* text : {"", ",", "abc,reason", "99999999999999999999,x", "-"}) {
    Run(JOB_KICK_PLAYER, text);
  }
  for (const std::string& text :
       {std::string(), std::string("5"), "5" + kEnd + "Name" + kEnd,
        "x" + kEnd + "n" + kEnd + "a" + kEnd + "k" + kEnd + "g" + kEnd + "0" + kEnd + "r" + kEnd,
        "1" + kEnd + "n" + kEnd + "a" + kEnd + "k" + kEnd + "g" + kEnd + "-5" + kEnd + "r"}) {
    Run(JOB_BAN_PLAYER, text);
  }
  Run(JOB_REMOVE_BAN, "");
  Run(JOB_REMOVE_BAN, "only-a-name");
  EXPECT_TRUE(Commands().empty());
  EXPECT_TRUE(Logged("Couldn't kick player! The player id '' is not a number."));
  EXPECT_TRUE(Logged("Couldn't ban player! The ban lacks a field."));

  // A kick with only an id goes out with an empty reason.
  Run(JOB_KICK_PLAYER, "7");
  EXPECT_EQ(Commands(), std::vector<std::string>{"admin.kickPlayer 7"});
  EXPECT_TRUE(
      Logged("User operator at console kicked player [unknown] ([unknown]) at [unknown] for ."));
  // A ban whose reason lost its end byte to the width still reaches the ban store.
  Run(JOB_BAN_PLAYER, "3" + kEnd + "Name" + kEnd + "1.2.3.4" + kEnd + "key" + kEnd + "guid" + kEnd +
                          "3600" + kEnd + "reason without end");
  EXPECT_TRUE(Logged("Couldn't ban player Name! The command failed."));
}

TEST_F(JobsTest, MapJobsAndTheirFailures) {
  Connect();
  GameServer().monitoring = false;
  Run(JOB_SET_NEXT_MAP, "Hue GPM_CQ bfvietnam", 2);
  EXPECT_TRUE(Commands().empty());  // a stopped server only records the map
  EXPECT_EQ(CurrentMapOverride(), "Hue GPM_CQ bfvietnam");
  EXPECT_TRUE(Logged("changed the next map to Hue GPM_CQ bfvietnam."));

  GameServer().monitoring = true;
  Run(JOB_SET_NEXT_MAP, std::string(200, 'm'));
  EXPECT_EQ(Commands(), std::vector<std::string>{"admin.setNextLevel " + std::string(200, 'm')});
  EXPECT_EQ(CurrentMapOverride(), std::string(kMapComboMax, 'm'));

  Run(JOB_SET_IDLE_MAP, "Idle GPM_CQ bfvietnam\nquit");
  EXPECT_EQ(IdleMapCombo(), "Idle GPM_CQ bfvietnam quit");

  Run(JOB_TOGGLE_PAUSE, "");
  EXPECT_TRUE(GamePaused());
  EXPECT_TRUE(Logged("User operator at console paused the server."));
  Run(JOB_TOGGLE_PAUSE, "");
  EXPECT_FALSE(GamePaused());
  EXPECT_TRUE(Logged("User operator at console unpaused the server."));

  DisconnectConsole();
  Run(JOB_RESTART_MAP, "");
  Run(JOB_CONSOLE_COMMAND, "admin.runNextLevel");
  Run(JOB_TOGGLE_PAUSE, "");
  EXPECT_TRUE(Logged("Couldn't restart map! The command failed."));
  EXPECT_TRUE(Logged("Couldn't send server message! The command failed."));
  EXPECT_TRUE(Logged("Couldn't pause game! The command failed."));
  EXPECT_FALSE(GamePaused());
}

TEST_F(JobsTest, PunkBusterJobsNeedItEnabled) {
  Connect();
  Run(JOB_SCREENSHOT, "Player");
  Run(JOB_PB_SAVE_CONFIG, "");
  EXPECT_TRUE(Commands().empty());
  EXPECT_TRUE(Logged("Couldn't take player screenshot! PunkBuster is not enabled."));
  EXPECT_TRUE(
      Logged("Could't dump PunkBuster settings! Not connected or PunkBuster is not enabled."));

  Watch().punkBusterEnabled = true;
  Run(JOB_SCREENSHOT, "Player");
  Run(JOB_PB_LOAD_CONFIG, "");
  EXPECT_EQ(Commands(),
            (std::vector<std::string>{"pb_sv_getss \"Player\"", "pb_sv_load pbsv.cfg"}));
  EXPECT_TRUE(Logged("PunkBuster settings have been loaded from pbsv.cfg."));
}

TEST_F(JobsTest, OddCodesAndSlotsDoNothing) {
  Connect();
  for (const char* slot : {"0", "17", "-1", "x", ""}) Run(JOB_DISCONNECT_CLIENT, slot);
  Run(0xB00B0001, "x");
  Run(0xB00B0021, "x");
  Run(0xBABE0029, "x");
  Run(JOB_BROADCAST, "not a number");
  EXPECT_TRUE(Commands().empty());
  EXPECT_FALSE(Logged("disconnected client"));
}

}  // namespace
}  // namespace keldor
