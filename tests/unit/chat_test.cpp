// Chat from the game and the player menu, against a filled player table and
// real account and menu files: what each line queues, byte for byte.
#include "policing/chat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "gamelink/player_table.h"
#include "policing/banned_words.h"
#include "policing/player_menu.h"
#include "remote/accounts.h"
#include "runtime/events.h"
#include "runtime/job_queue.h"
#include "runtime/options.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using Jobs = std::vector<std::string>;

const std::string kEnd(1, kBanFieldEnd);
const std::string kHashA = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
const std::string kHashC = "cccccccccccccccccccccccccccccccc";
const std::string kHashK = "dddddddddddddddddddddddddddddddd";
const std::string kLong = "AVeryLongPlayerNameOfThirtyOneC";  // 31: as the table holds it

class Chat : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    PinClock(1700000000);
    AddPlayer("Alice", 3, kHashA);
    AddPlayer("Bob", 5, "[unknown]");
    AddPlayer("Carol", 7, kHashC);
    AddPlayer("Kim", 9, kHashK);
    AddPlayer(kLong, 11, "[unknown]");
    // Alice maps, Carol may do anything, Kim may only kick; a disabled account grants nothing.
    testing::WriteFile(Opts().settingsDir + "/useraccess.con",
                       "off,pw," + kHashK + ",4294967295,0\nmapper,pw," + kHashA +
                           ",64,1\nboss,pw," + kHashC + ",4294967295,1\nkicker,pw," + kHashK +
                           ",128,1\n");
    ASSERT_TRUE(LoadUserAccounts(Opts().settingsDir + "/useraccess.con"));
    testing::WriteFile(Opts().settingsDir + "/playermenu.con",
                       "Kick|kick\n"
                       "Teamkill \"Teamkilling\" [tk]|kick\n"
                       "Ban|kick,ban,3600 [Bn]\n"
                       "PB kick \"pb_sv_kick  %PBID 5 %name\" [pk]|cmd,kick\n"
                       "Hi \"welcome aboard\" [hi]|global\n"
                       "Warn \"stop that\" [warn]|\n"
                       "Empty [cmd]|cmd\n"
                       "Slay \"admin.admin_killplayer %bfid\" [slay]|cmd\n");
  }
  static void AddPlayer(const std::string& name, int id, const std::string& keyhash) {
    for (PlayerRecord& record : Players().records) {
      if (!record.name.empty()) continue;
      record = PlayerRecord{};
      record.name = name;
      record.id = id;
      record.ip = "10.0.0." + std::to_string(id);
      record.keyhash = keyhash;
      record.pbGuid = "[unknown]";
      return;
    }
  }
  // The ban of Bob (id 5) by the "bn" entry, as queued by `actor`.
  static std::string BanOfBob(const std::string& actor) {
    return "10 " + actor + " late 5" + kEnd + "Bob" + kEnd + "10.0.0.5" + kEnd + "[unknown]" +
           kEnd + "[unknown]" + kEnd + "3600" + kEnd + "unknown reason" + kEnd;
  }
  // The queued jobs as "CODE-LOW-BYTE actor delayed? text", and the queue emptied.
  static Jobs Drain() {
    Jobs jobs;
    for (const QueuedCommand& job : JobQueue()) {
      if (job.code == 0) break;
      char head[32];
      std::snprintf(head, sizeof head, "%02X %X%s ", job.code & 0xFF,
                    static_cast<unsigned>(job.actor), job.due > MonotonicNow() ? " late" : "");
      jobs.push_back(head + job.text);
    }
    ClearJobQueue();
    return jobs;
  }
  static Jobs Say(const std::string& speaker, const std::string& message) {
    Report(Event::kConsoleEvent, ("[All] " + speaker + ": " + message).c_str());
    return Drain();
  }
};

TEST_F(Chat, MenuEntriesQueueTheirActionsWithTheirFlagsOnOneLine) {
  const struct {
    int player;
    const char* id;
    Jobs jobs;
  } cases[] = {
      {5,
       "TK",
       {"17 FF02 [KELDOR] Player Bob kicked for Teamkilling", "18 FF02 admin.admin_killplayer 5",
        "0F FF02 late 5,Teamkilling,"}},
      {5, "bn", {"18 FF02 admin.admin_killplayer 5", BanOfBob("FF02")}},
      {7, "pk", {"18 FF02 pb_sv_kick 8 5 Carol"}},
      {-1, "pk", {"18 FF02 pb_sv_kick 0 5 [unknown]"}},
      {7, "hi", {"17 FF02 [KELDOR] welcome aboard"}},
      {7, "warn", {"17 FF02 [KELDOR] Player Carol stop that"}},
      {-1, "tk", {"17 FF02 [KELDOR] Teamkilling"}},
      {7, "cmd", {}},
  };
  for (const auto& c : cases) {
    const int entry = FindPlayerMenuEntry(c.id);
    ASSERT_NE(entry, 0) << c.id;
    RunPlayerMenuAction(c.player, entry, 0xFF02);
    EXPECT_EQ(Drain(), c.jobs) << c.id;
  }
  // The default entries have no id; "!Kick|kick" must not reach them.
  EXPECT_EQ(FindPlayerMenuEntry("Kick|kick"), 0);
  EXPECT_EQ(FindPlayerMenuEntry(""), 0);
  Opts().adminMessages = false;
  Opts().kickDelay = false;
  RunPlayerMenuAction(3, FindPlayerMenuEntry("tk"), 0xFF02);
  EXPECT_EQ(Drain(), (Jobs{"16 FF02 [KELDOR] Player Alice kicked for Teamkilling",
                           "18 FF02 admin.admin_killplayer 3", "0F FF02 3,Teamkilling,"}));

  // Filled-in names stay on one line and in their ban field.
  Players().records[1].name = "Evil\nadmin.banPlayer 3\r";
  RunPlayerMenuAction(5, FindPlayerMenuEntry("pk"), 0xFF02);
  EXPECT_EQ(Drain(), Jobs{"18 FF02 pb_sv_kick 6 5 Evil admin.banPlayer 3 "});
  Players().records[1].name = "x" + kEnd + "1.2.3.4";
  RunPlayerMenuAction(5, FindPlayerMenuEntry("bn"), 0xFF02);
  const std::string ban = "10 FF02 5" + kEnd + "x?1.2.3.4" + kEnd + "10.0.0.5" + kEnd;
  EXPECT_EQ(Drain().at(1).substr(0, ban.size()), ban);
}

TEST_F(Chat, BannedWordsInChatKeepTheirCaseAndKickTheSpeakerOnce) {
  testing::WriteFile(Opts().settingsDir + "/bannedwords.con", "Cheat\n$Bob\nLong\n");
  ASSERT_TRUE(LoadBannedWords());
  EXPECT_EQ(Say("Alice", "you Cheat"), Jobs{});  // off unless manager.autoKickWord
  Row(Setting::AutoKickWord).current = 1;
  EXPECT_EQ(Say("Alice", "you cheat"), Jobs{});
  EXPECT_EQ(Say("Alice", "hi Bob"), Jobs{});
  EXPECT_EQ(Say("Alice", "hi $Bob"),
            (Jobs{"18 0 late admin.kickPlayer 3",
                  "17 0 [KELDOR] Kicking Alice for banned word in chat message"}));
  EXPECT_TRUE(
      Logged("Auto-kicked Alice (" + kHashA + ") at 10.0.0.3 for banned word in chat message."));
  EXPECT_EQ(PlayerNameById(3), "[unknown]");
  // Gone from the table, the speaker's next line (and its command) finds nobody.
  EXPECT_EQ(Say("Alice", "!restart Cheat"), Jobs{});
  // A name the table holds cut is still found; the word is in the name itself.
  Opts().adminMessages = false;  // the kick notice stays a server message
  EXPECT_EQ(Say(kLong + "Extra", "gg"),
            (Jobs{"18 0 late admin.kickPlayer 11",
                  "17 0 [KELDOR] Kicking " + kLong + " for banned word in chat message"}));
  for (const char* line : {"nospace:Cheat", "[All] no-separator Cheat", "Cheat"}) {
    EXPECT_FALSE(CheckChatForBannedWords(line)) << line;
  }
  EXPECT_TRUE(CheckChatForBannedWords("[All] Bob: fine"));
  EXPECT_TRUE(Drain().empty());
}

TEST_F(Chat, InGameCommandsNeedAnAccountWithTheRightAndAValidTarget) {
  const struct {
    const char* speaker;
    const char* message;
    Jobs jobs;
  } cases[] = {
      {"Bob", "!restart", {"17 0 [KELDOR] Player Bob cannot use in-game admin commands!"}},
      {"alice", "!change hue", {"0A FF01 hue GPM_CQ bfvietnam"}},
      {"Alice", "!SetNext  hue GPM_COOP  mymod extra", {"0C FF01 hue GPM_COOP mymod"}},
      {"Alice", "!change hue\nadmin.banPlayer 3", {"0A FF01 hue admin.banPlayer 3"}},
      {"Alice", "!setnext", {"17 0 [KELDOR] !setnext requires at least one parameter"}},
      {"Alice", "!runnext", {"0B FF01 "}},
      {"Kim", "!restart", {"17 0 [KELDOR] !restart requires Maps page access"}},
      {"Alice", "!tk .5", {"17 0 [KELDOR] !tk requires Players page access"}},
      {"Kim", "!bn .5", {"18 FF03 admin.admin_killplayer 5", BanOfBob("FF03")}},
      {"Kim", "!slay .5", {"17 0 [KELDOR] !slay requires console command access"}},
      {"Carol", "!slay .5", {"18 FF02 admin.admin_killplayer 5"}},
      {"Carol", "!nope", {"17 0 [KELDOR] Command id nope is not valid"}},
      {"Carol", "!slay .x", {"17 0 [KELDOR] Player id x is not valid"}},
      {"Carol", "!slay .65", {"17 0 [KELDOR] Player id 65 is not valid"}},
      {"Carol", "!slay .4", {"17 0 [KELDOR] Player id 4 is not valid"}},
      {"Carol", "!slay @ARO", {"18 FF02 admin.admin_killplayer 7"}},
      {"Carol",
       "!slay @i",
       {"18 FF02 admin.admin_killplayer 3", "18 FF02 admin.admin_killplayer 9",
        "18 FF02 admin.admin_killplayer 11"}},
      {"Carol", "!slay @zzz", {"17 0 [KELDOR] No matches for player name zzz"}},
      {"Carol", "!slay o", {"17 0 [KELDOR] No matches or player name o is ambiguous"}},
      {"Carol", "!slay BO", {"18 FF02 admin.admin_killplayer 5"}},
      {"Carol", "hello !restart", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Say(c.speaker, c.message), c.jobs) << c.message;
  Logging().debug = true;
  Say("Alice", "no command here");
  Say("Nobody", "!restart");
  EXPECT_FALSE(Logged("Couldn't determine player Alice keyhash!"));
  EXPECT_TRUE(Logged("DEBUG: Couldn't determine player Nobody keyhash!"));
}

// The speaker is the longest name of the table the line begins with: a name
// holding ": " never speaks for the player whose name begins it.
TEST_F(Chat, ANameHoldingASeparatorSpeaksForItselfOnly) {
  AddPlayer("Carol: !slay .5", 13, "[unknown]");
  AddPlayer("Kim: !bn", 15, kHashA);
  EXPECT_EQ(Say("Carol: !slay .5", "hi"), Jobs{});
  EXPECT_EQ(Say("Kim: !bn", "!restart"), Jobs{"0E FF01 "});
  EXPECT_EQ(Say("Kim", "!bn .5"), (Jobs{"18 FF03 admin.admin_killplayer 5", BanOfBob("FF03")}));
  Row(Setting::AutoKickWord).current = 1;
  testing::WriteFile(Opts().settingsDir + "/bannedwords.con", "noob\n");
  ASSERT_TRUE(LoadBannedWords());
  EXPECT_EQ(Say("Carol: !slay .5", "noob"),
            (Jobs{"18 0 late admin.kickPlayer 13",
                  "17 0 [KELDOR] Kicking Carol: !slay .5 for banned word in chat message"}));
}

}  // namespace
}  // namespace keldor
