// The command queue and its jobs, each one call of the subsystem that owns it,
// against an in-process fake console: cutting of messages, the queue's order,
// capacity and due times, and job texts that lack their fields.
#include "remote/jobs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "fake_console.h"
#include "gamelink/console.h"
#include "gamelink/game_commands.h"
#include "loopback_pair.h"
#include "maps/rotation.h"
#include "process/server_process.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "schedule/announcements.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using Lines = std::vector<std::string>;

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
  void Connect() {
    console_.SetResponder([](const fake::ConsoleRequest&) { return fake::Reply({}); });
    ASSERT_TRUE(ConnectConsole());
    seen_ = console_.Observed().requests.size();
  }
  // Every command line the console received since Connect, in order.
  Lines Commands() const { return console_.CommandsSince(seen_); }
  static void Run(std::uint32_t code, const std::string& text, std::int32_t actor = 0) {
    RunJob(QueuedCommand{.code = code, .text = text, .actor = actor});
  }

  fake::FakeConsole console_;
  std::size_t seen_ = 0;
};

TEST(CutIntoPiecesTest, CutsAtTheLastSeparatorWithinSixtyThree) {
  const std::string a63(63, 'a');
  // No separator: hard cut at 63, the 64th character starts the next piece.
  EXPECT_EQ(CutIntoPieces(a63 + a63 + "aaaa", ' '), (Lines{a63, a63, "aaaa"}));
  // A separator as the 64th character still gives a full first piece and is dropped.
  EXPECT_EQ(CutIntoPieces(a63 + " dd", ' '), (Lines{a63, "dd"}));
  // Words are kept whole: the cut goes before the word that would not fit.
  EXPECT_EQ(CutIntoPieces(std::string(40, 'x') + " " + std::string(30, 'y') + " z", ' '),
            (Lines{std::string(40, 'x'), std::string(30, 'y') + " z"}));
}

TEST_F(JobsTest, ChatGoesOutInPiecesWithBlanksAndStarredChatIsNotLogged) {
  Connect();
  const std::string a40(40, 'a');
  const std::string b60(60, 'b');
  Run(JOB_SAY_ALL, "hi there " + a40 + " " + b60);
  EXPECT_EQ(Commands(), (Lines{"game.sayAll \"hi" + kBlank + "there" + kBlank + a40 + "\"",
                               "game.sayAll \"" + b60 + "\""}));
  EXPECT_TRUE(Logged("User operator at console said 'hi there " + a40 + " " + b60 + "'."));

  Run(JOB_SAY_ALL, "*announcement text");
  EXPECT_EQ(Commands().back(), "game.sayAll \"*announcement" + kBlank + "text\"");
  EXPECT_EQ(CountLogged("said"), 1);
  // Server messages are logged even when starred.
  Run(JOB_SERVER_MESSAGE, "*" + b60 + kBlank + "tail end");
  const Lines commands = Commands();
  EXPECT_EQ(Lines(commands.end() - 2, commands.end()),
            (Lines{"admin.serverMessage \"*" + b60 + "\"", "admin.serverMessage \"tail end\""}));
  EXPECT_EQ(CountLogged("said"), 2);
}

TEST_F(JobsTest, ChatAndServerMessageTellTheRequesterEitherSentOrFailed) {
  const testing::LoopbackListener listener;
  const auto [daemon, client] = listener.Pair();
  Connections()[1] = Connection{daemon, "carol", "127.0.0.1:1", 1, {}};
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
  close(client);  // daemon is closed with its connection
}

TEST_F(JobsTest, LineBreaksSmuggleNoCommandButAConsoleCommandKeepsItsLines) {
  Connect();
  Run(JOB_SAY_ALL, "hello\nadmin.banPlayer 3");
  Run(JOB_CHANGE_MAP, "Hue GPM_CQ bfvietnam\r\nadmin.kickPlayer 1");
  Lines commands = Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_TRUE(commands[0].starts_with("game.sayAll")) << commands[0];
  EXPECT_TRUE(commands[1].starts_with("admin.changeMap")) << commands[1];
  // The console right covers several commands, each sent as its own line.
  Run(JOB_CONSOLE_COMMAND, "game.sayAll \"one\"\n\nadmin.restartMap\n");
  commands = Commands();
  EXPECT_EQ(Lines(commands.begin() + 2, commands.end()),
            (Lines{"game.sayAll \"one\"", "", "admin.restartMap"}));
  EXPECT_TRUE(Logged("issued console command"));
  Run(JOB_SET_IDLE_MAP, "Idle GPM_CQ bfvietnam\nquit");  // sent to the console later
  EXPECT_EQ(IdleMapCombo(), "Idle GPM_CQ bfvietnam quit");
}

TEST_F(JobsTest, FullQueueDropsTheNewJobWithItsMessage) {
  for (std::size_t i = 0; i < kQueueCapacity; ++i) {
    EXPECT_TRUE(QueueJob(JOB_SAY_ALL, std::to_string(i).c_str(), 0, 5));
  }
  EXPECT_FALSE(QueueJob(JOB_SERVER_MESSAGE, "lost", 0, 0));
  EXPECT_FALSE(QueueJobOnce(JOB_CONSOLE_POLL, nullptr, 0, 0));
  EXPECT_TRUE(Logged("Couldn't queue command B00B0020! The queue is full."));
  EXPECT_EQ(JobQueue()[kQueueCapacity - 1].text, std::to_string(kQueueCapacity - 1));
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
}

// Jobs due together run in the order they were queued, all in one call, so that
// clients see events in the order of the work (a crash before the restart); a
// job not yet due holds none of them up.
TEST_F(JobsTest, DueJobsRunInQueueingOrderAndLateOnesWaitToTheSecond) {
  Connect();
  QueueJob(JOB_SAY_ALL, "A", 0, 0);
  QueueJob(JOB_SAY_ALL, "late", 0, KickDelay());
  QueueJob(JOB_SAY_ALL, "B", 0, 0);
  QueueJob(JOB_SAY_ALL, "C", 0, 0);
  RunDueJobs();
  EXPECT_EQ(Commands(), (Lines{"game.sayAll \"A\"", "game.sayAll \"B\"", "game.sayAll \"C\""}));
  EXPECT_EQ(JobQueue()[0].text, "late");
  EXPECT_EQ(JobQueue()[0].due, kStart + 12);
  EXPECT_EQ(JobQueue()[1].code, 0u);
  AdvanceClock(11);
  RunDueJobs();
  EXPECT_EQ(Commands().size(), 3u);
  AdvanceClock(1);
  RunDueJobs();
  EXPECT_EQ(Commands().back(), "game.sayAll \"late\"");
  EXPECT_EQ(JobQueue()[0].code, 0u);
}

TEST_F(JobsTest, KickBanAndOddTextsThatLackFieldsAreRefusedQuietly) {
  Connect();
  for (const char* text : {"", "abc,reason", "99999999999999999999,x"}) Run(JOB_KICK_PLAYER, text);
  const auto ban = [](const std::string& id, const std::string& length) {
    return id + kEnd + "n" + kEnd + "a" + kEnd + "k" + kEnd + "g" + kEnd + length + kEnd + "r";
  };
  for (const std::string& text : {std::string("5"), ban("x", "0") + kEnd, ban("1", "-5")}) {
    Run(JOB_BAN_PLAYER, text);
  }
  Run(JOB_REMOVE_BAN, "only-a-name");
  for (const char* slot : {"0", "17", "x"}) Run(JOB_DISCONNECT_CLIENT, slot);
  for (std::uint32_t code : {0xB00B0021u, 0xBABE0029u}) Run(code, "x");
  Run(JOB_BROADCAST, "not a number");
  EXPECT_TRUE(Commands().empty());
  EXPECT_TRUE(Logged("Couldn't kick player! The player id '' is not a number."));
  EXPECT_TRUE(Logged("Couldn't ban player! The ban lacks a field."));
  EXPECT_FALSE(Logged("disconnected client"));

  Run(JOB_KICK_PLAYER, "7");  // only an id: an empty reason
  EXPECT_EQ(Commands(), Lines{"admin.kickPlayer 7"});
  // A player the table does not know and an empty reason are written as unknown.
  EXPECT_EQ(testing::ReadFile(dir_ / "adminlog.csv"),
            "\"[unknown]\",[unknown],[unknown],[unknown],\"operator\"," + std::to_string(kStart) +
                ",[unknown],kick,0,[unknown]\n");
  // A ban whose reason lost its end byte to the width still reaches the ban store.
  Run(JOB_BAN_PLAYER, "3" + kEnd + "Name" + kEnd + "1.2.3.4" + kEnd + "key" + kEnd + "guid" + kEnd +
                          "3600" + kEnd + "reason without end");
  EXPECT_EQ(testing::ReadFile(dir_ / "serverbanlist.con"),
            "\"Name\",1.2.3.4,key,*,\"operator\",1700000000,1700003600,reason without end\n");
}

TEST_F(JobsTest, NextMapIsOnlyRecordedWhileStoppedAndAFailedPauseChangesNothing) {
  Connect();
  GameServer().monitoring = false;
  Run(JOB_SET_NEXT_MAP, "Hue GPM_CQ bfvietnam", 2);
  EXPECT_TRUE(Commands().empty());  // a stopped server only records the map
  EXPECT_EQ(CurrentMapOverride(), "Hue GPM_CQ bfvietnam");
  GameServer().monitoring = true;
  Run(JOB_SET_NEXT_MAP, std::string(200, 'm'));
  EXPECT_EQ(Commands(), Lines{"admin.setNextLevel " + std::string(200, 'm')});
  EXPECT_EQ(CurrentMapOverride(), std::string(kMapComboMax, 'm'));

  DisconnectConsole();  // a pause that fails leaves the game running
  Run(JOB_TOGGLE_PAUSE, "");
  EXPECT_TRUE(Logged("Couldn't pause game! The command failed."));
  EXPECT_FALSE(GamePaused());
}

TEST_F(JobsTest, AnnouncementsGoInTurnAndNotWhileTheLinkIsDown) {
  Row(Setting::MonitorTimerPeriod).current = 30;
  Row(Setting::AutoAnnouncePeriod).current = 45;  // rounded up to two passes
  testing::WriteFile(dir_ / "announcements.con", "A\r\n\n" + std::string(100, 'x') + "\n");
  Connect();
  const auto announce = [] {
    Run(JOB_ANNOUNCE, "");
    RunDueJobs();
  };
  for (int pass = 0; pass < 10; ++pass) announce();
  std::string standard = DefaultAnnouncement();
  for (char& c : standard) c = c == ' ' ? kChatBlank : c;
  const auto say = [](const std::string& text) { return "game.sayAll \"" + text + "\""; };
  EXPECT_EQ(Commands(), (Lines{say("*A"), say("*"), say("*" + std::string(62, 'x')), say(standard),
                               say("*A")}));
  EXPECT_LE(DefaultAnnouncement().size(), kMessagePieceMax);
  EXPECT_FALSE(Logged("said '*"));
  // While the link is down nothing is announced and no pass counts.
  DisconnectConsole();
  for (int pass = 0; pass < 3; ++pass) announce();
  Connect();
  announce();
  EXPECT_EQ(Commands(), Lines{});
  announce();
  EXPECT_EQ(Commands(), Lines{say("*")});
}

}  // namespace
}  // namespace keldor
