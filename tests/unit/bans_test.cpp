// The ban store and its synchronisation on real files, with the game server
// stopped (the game's files) or running (an in-process fake console): the line
// format, whole-identifier lifting, the timed-ban expiry, verification and both
// syncs (that a rewrite of serverbanlist.con survives a crash is in crash_safe_files_test).
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "bans/ban_store.h"
#include "bans/ban_sync.h"
#include "bans/game_lists.h"
#include "core/clock.h"
#include "fake_console.h"
#include "gamelink/console.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using Lines = std::vector<std::string>;
using testing::ReadFile;
using testing::WriteFile;

constexpr std::time_t kNow = 1700000000;
const std::string kKey = "0123456789ABCDEF0123456789ABCDEF";
const std::string kGuid = "fedcba9876543210fedcba9876543210";

std::string Entry(const std::string& name, const std::string& ids, std::time_t end,
                  const std::string& reason = "r") {
  return "\"" + name + "\"," + ids + ",\"adm\",1," + std::to_string(end) + "," + reason + "\n";
}

TEST(BanLine, ReasonsRunToTheEndOfTheLineAndQuotesCannotBreakAName) {
  const std::string line = "\"A, b\",1.2.3.4,*,*,\"adm\",10,20,aim, then lying";
  BanEntry entry;
  ASSERT_TRUE(ParseBanEntry(line + "\r", entry));
  EXPECT_EQ(entry.name, "A, b");
  EXPECT_EQ(entry.reason, "aim, then lying");
  EXPECT_EQ(FormatBanEntry(entry), line + "\n");
  for (const char* bad : {"\"x\",1,2,3,\"a\",10", "no quotes at all", "\"x\",1,2,\"a\",1,2,r",
                          "\"x\",a,b,c,\"adm\",,5,r", "\"x\"1,2,3,\"a\",1,2,r"}) {
    EXPECT_FALSE(ParseBanEntry(bad, entry)) << bad;
  }
  const BanEntry odd{"Jo\"hn", "*", "k", "*",
                     "a\"d",   "1", "0", "two\nlines" + std::string(2000, 'x')};
  const std::string written = FormatBanEntry(odd);
  EXPECT_EQ(written.size(), kBanLineMax + 1);
  ASSERT_TRUE(ParseBanEntry(written.substr(0, written.size() - 1), entry));
  EXPECT_EQ(entry.name, "Jo'hn");
  EXPECT_EQ(entry.admin, "a'd");
  EXPECT_EQ(entry.reason.substr(0, 10), "two lines" + std::string(1, 'x'));
}

class BansTest : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    PinClock(kNow);
    Opts().punkBusterInstalled = true;
  }
  // The game server runs with the fake console connected.
  void Run() {
    console_.PrepareKeldor();
    console_.SetResponder([](const fake::ConsoleRequest&) { return fake::Reply({}); });
    ASSERT_TRUE(ConnectConsole());
    seen_ = console_.Observed().requests.size();
  }
  Lines Commands() { return console_.CommandsSince(seen_, &seen_); }
  // The log's messages since the last call, without their time stamps.
  Lines Messages() {
    Lines lines;
    const std::string log = Log();
    for (std::size_t at = logSeen_, end; (end = log.find('\n', at)) != std::string::npos;
         at = end + 1) {
      std::string line = log.substr(at, end - at);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t colon = line.find(" : ");
      lines.push_back(colon == std::string::npos ? line : line.substr(colon + 3));
      logSeen_ = end + 1;
    }
    return lines;
  }
  std::string BanList() const { return ReadFile(SettingsFile("serverbanlist.con")); }
  std::string GameList() const { return ReadFile(SettingsFile("banlist.con")); }
  std::string PbList() const { return ReadFile(PunkBusterBanListPath()); }

  fake::FakeConsole console_;
  std::size_t seen_ = 0;
  std::size_t logSeen_ = 0;
};

TEST_F(BansTest, StoppedServerBansInTheGameFilesAndLiftsWholeIdentifiers) {
  WriteFile(SettingsFile("banlist.con"), "admin.addAddressToBanList 110.1.2.3:0 Perm\n");
  WriteFile(PunkBusterBanListPath(), "");
  // Only unknown identifiers: nothing is said and nothing is written.
  EXPECT_FALSE(AddBan("Nobody", -1, "[unknown]", "*", "", "adm", kNow, 0, "r"));
  EXPECT_FALSE(AddBan("Nobody", -1, "1.2.3.4\nquit", "a b", "x,y", "adm", kNow, 0, "r"));
  EXPECT_TRUE(Messages().empty());
  EXPECT_FALSE(testing::Exists(SettingsFile("serverbanlist.con")));

  ASSERT_TRUE(AddBan("Vic", -1, "10.1.2.3", kKey, kGuid, "adm", kNow, kNow + 60, "aim, bot"));
  EXPECT_EQ(GameList(),
            "admin.addAddressToBanList 110.1.2.3:0 Perm\n"
            "admin.addAddressToBanList 10.1.2.3:0 Perm\n"
            "admin.addKeyToBanList " +
                kKey + " Perm\n");
  EXPECT_TRUE(std::regex_match(
      PbList(), std::regex(R"(\[\d\d\.\d\d\.\d{4} \d\d\.\d\d\.\d\d\] )" + kGuid + " \"\" \"\"\n")))
      << PbList();
  EXPECT_EQ(BanList(), "\"Vic\",10.1.2.3," + kKey + "," + kGuid +
                           ",\"adm\",1700000000,1700000060,"
                           "aim, bot\n");
  EXPECT_EQ(Messages(),
            (Lines{"Ban added on address 10.1.2.3.", "Ban added on keyhash " + kKey + ".",
                   "Ban added on GUID " + kGuid + "."}));

  // Without PunkBuster the GUID fails, the rest is still recorded.
  Opts().punkBusterInstalled = false;
  EXPECT_FALSE(AddBan("Eve", -1, "*", "eeee", kGuid, "adm", kNow, 0, "r"));
  EXPECT_EQ(Messages(), (Lines{"Ban added on keyhash eeee.",
                               "Couldn't ban guid " + kGuid + "! PunkBuster is not installed."}));

  // Lifting 10.1.2.3 leaves 110.1.2.3; the entry keeps its other identifiers.
  ASSERT_TRUE(RemoveBan("Vic", "10.1.2.3", "[unknown]", "*"));
  const std::string eve = "\"Eve\",*,eeee,*,\"adm\",1700000000,0,r\n";
  EXPECT_EQ(GameList(), "admin.addAddressToBanList 110.1.2.3:0 Perm\nadmin.addKeyToBanList " +
                            kKey + " Perm\nadmin.addKeyToBanList eeee Perm\n");
  EXPECT_EQ(BanList(),
            "\"Vic\",*," + kKey + "," + kGuid + ",\"adm\",1700000000,1700000060,aim, bot\n" + eve);
  // Key hash and GUID in another case: lifting the last identifiers drops the entry.
  ASSERT_TRUE(
      RemoveBan("", "", "0123456789abcdef0123456789abcdef", "FEDCBA9876543210FEDCBA9876543210"));
  EXPECT_EQ(BanList(), eve);
  EXPECT_EQ(GameList(),
            "admin.addAddressToBanList 110.1.2.3:0 Perm\nadmin.addKeyToBanList eeee Perm\n");
  EXPECT_EQ(PbList(), "");
}

TEST_F(BansTest, ExpiryLiftsEveryEndedBanOnceAndKeepsTheRest) {
  const std::string list = Entry("A", "1.1.1.1,*,*", kNow - 10) + Entry("B", "*,KEYB,*", 0) +
                           Entry("C", "2.2.2.2,keyb,*", kNow, "x, y") +
                           Entry("D", "3.3.3.3,*,*", kNow + 1) + "not an entry\n" +
                           Entry("E", "4.4.4.4,*,*", 0);
  const std::string game =
      "admin.addAddressToBanList 1.1.1.1:0 Perm\nadmin.addKeyToBanList KEYB Perm\n"
      "admin.addAddressToBanList 2.2.2.2:0 Perm\nadmin.addAddressToBanList 3.3.3.3:0 Perm\n";
  const Lines lifted = {"Ban removed on address 1.1.1.1.",
                        "Removed timed-ban on player A (*), the ban has expired.",
                        "Ban removed on address 2.2.2.2.", "Ban removed on keyhash keyb.",
                        "Removed timed-ban on player C (keyb), the ban has expired."};
  // B shares C's key hash (in another case): lifting C's lifts it too.
  const std::string kept = Entry("D", "3.3.3.3,*,*", kNow + 1) + Entry("E", "4.4.4.4,*,*", 0);
  for (const bool running : {false, true}) {
    WriteFile(SettingsFile("serverbanlist.con"), list);
    WriteFile(SettingsFile("banlist.con"), game);
    if (running) Run();
    Messages();
    ASSERT_TRUE(ExpireTimedBans());
    EXPECT_EQ(Messages(), lifted);
    EXPECT_EQ(BanList(), kept);
    if (running) {
      EXPECT_EQ(Commands(), (Lines{"admin.removeAddressFromBanList 1.1.1.1",
                                   "admin.removeAddressFromBanList 2.2.2.2",
                                   "admin.removeKeyFromBanList keyb"}));
      EXPECT_EQ(GameList(), game);
    } else {
      EXPECT_EQ(GameList(), "admin.addAddressToBanList 3.3.3.3:0 Perm\n");
    }
  }
  AdvanceClock(1);  // the first check after D's end lifts it; E never ends
  ASSERT_TRUE(ExpireTimedBans());
  EXPECT_EQ(Messages(), (Lines{"Ban removed on address 3.3.3.3.",
                               "Removed timed-ban on player D (*), the ban has expired."}));
  EXPECT_EQ(BanList(), Entry("E", "4.4.4.4,*,*", 0));
  EXPECT_EQ(Commands(), Lines{"admin.removeAddressFromBanList 3.3.3.3"});
  AdvanceClock(100000000);
  ASSERT_TRUE(ExpireTimedBans()) << Log();
  EXPECT_TRUE(Commands().empty());
}

TEST_F(BansTest, RunningServerBansOverTheConsoleAndClearsOnlyKeldorsFile) {
  Run();
  Row(Setting::BanInBFandPB).current = 1;
  GameServer().punkBusterRunning = true;
  ASSERT_TRUE(AddBan("Vic", -1, "10.1.2.3", kKey, kGuid, "adm", kNow, 0, "r"));
  EXPECT_EQ(Commands(),
            (Lines{"admin.addAddressToBanList 10.1.2.3", "admin.addKeyToBanList " + kKey,
                   "pb_sv_banguid " + kGuid, "pb_sv_updbanfile"}));
  const std::string vic = "\"Vic\",10.1.2.3," + kKey + "," + kGuid + ",\"adm\",1700000000,0,r\n";
  EXPECT_EQ(BanList(), vic);
  GameServer().punkBusterRunning = false;
  Messages();
  EXPECT_FALSE(AddBan("Eve", -1, "5.5.5.5", "*", kGuid, "adm", kNow, 0, "r"));
  EXPECT_EQ(Messages(), (Lines{"Ban added on address 5.5.5.5.",
                               "Couldn't ban guid " + kGuid + "! PunkBuster is not enabled."}));
  EXPECT_EQ(BanList(), vic + "\"Eve\",5.5.5.5,*,*,\"adm\",1700000000,0,r\n");

  WriteFile(SettingsFile("banlist.con"), "admin.addKeyToBanList k Perm\n");
  Commands();
  ASSERT_TRUE(ClearBans("op", "1.2.3.4"));
  EXPECT_EQ(Commands(), Lines{"admin.clearBanList"});
  EXPECT_EQ(BanList(), "");
  EXPECT_EQ(GameList(), "admin.addKeyToBanList k Perm\n");  // the game keeps its own

  DisconnectConsole();  // a server whose console is down takes no ban and no clearing
  Messages();
  EXPECT_FALSE(AddBan("Vic", -1, "10.1.2.3", "*", "*", "adm", kNow, 0, "r"));
  EXPECT_FALSE(ClearBans("op", "1.2.3.4"));
  EXPECT_EQ(Messages(), (Lines{"Couldn't ban address 10.1.2.3! The command failed.",
                               "Couldn't ban player Vic! The command failed.",
                               "Couldn't clear server banlist! The command failed."}));
  EXPECT_EQ(BanList(), "");
}

TEST_F(BansTest, VerificationComparesWholeIdentifiersInAnyCaseAndTheSyncsRebuild) {
  const std::string keldor =
      Entry("A", "10.1.2.3," + kKey + ",*", 0) + Entry("B", "*,*," + kGuid, 0);
  const std::string a = "admin.addAddressToBanList 10.1.2.3:0 Perm\n";
  const std::string k = "admin.addKeyToBanList 0123456789abcdef0123456789abcdef Perm\n";
  const std::string g = "[01.02.2026 10.00.00] FEDCBA9876543210FEDCBA9876543210 \"\" \"\"\n";
  const std::string otherGuid = "[01.02.2026 10.00.00] " + std::string(32, '0') + " \"\" \"\"\n";
  struct Case {
    std::string game, pb;
    bool pbInstalled, inStep;
  };
  const std::vector<Case> cases = {
      {a + k + "; a comment\n", g, true, true},
      {"admin.addAddressToBanList 110.1.2.3:0 Perm\n" + k, g, true, false},
      {a + k + "admin.addAddressToBanList 10.1.2.30:0 Perm\n", g, true, false},
      {a, g, true, false},  // Keldor's key-only half is missing
      {a + k, "", true, false},
      {a + k, g + otherGuid, true, false},
      {a + k, g + otherGuid, false, true},  // without PunkBuster its list is not compared
  };
  WriteFile(SettingsFile("serverbanlist.con"), keldor);
  for (const Case& c : cases) {
    WriteFile(SettingsFile("banlist.con"), c.game);
    WriteFile(PunkBusterBanListPath(), c.pb);
    Opts().punkBusterInstalled = c.pbInstalled;
    EXPECT_EQ(VerifyBanSync(), c.inStep) << c.game << c.pb;
  }
  std::remove(SettingsFile("banlist.con").c_str());
  EXPECT_FALSE(VerifyBanSync());
  EXPECT_TRUE(Logged("Couldn't open banlist file! No such file or directory"));

  Opts().punkBusterInstalled = true;
  ASSERT_TRUE(SyncBansToServer());
  EXPECT_EQ(GameList(), a + "admin.addKeyToBanList " + kKey + " Perm\n");
  EXPECT_NE(PbList().find("] " + kGuid + " \"\" \"\"\n"), std::string::npos);
  EXPECT_TRUE(VerifyBanSync());

  WriteFile(SettingsFile("banlist.con"), k + "admin.addAddressToBanList 110.1.2.3:0 Perm\n");
  ASSERT_TRUE(SyncBansFromServer());
  const std::string taken = ",\"operator\",0,0,unknown reason\n";
  EXPECT_EQ(BanList(), "\"[unknown]\",*,0123456789abcdef0123456789abcdef,*" + taken +
                           "\"[unknown]\",110.1.2.3,*,*" + taken + "\"[unknown]\",*,*," + kGuid +
                           taken);
  EXPECT_TRUE(VerifyBanSync());

  ASSERT_TRUE(ClearBans("op", "1.2.3.4"));
  EXPECT_EQ(BanList() + GameList() + PbList(), "");
  EXPECT_TRUE(Logged("User op at 1.2.3.4 cleared the banlist."));
}

}  // namespace
}  // namespace keldor
