// The ban store and its synchronisation on real files, with the game server
// stopped (the game's files) or running (an in-process fake console): the line
// format, whole-identifier lifting, the timed-ban expiry, verification and both
// syncs, and a crash in the middle of a rewrite of serverbanlist.con.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
  void TearDown() override {
    StateTest::TearDown();
    UnpinClock();
  }
  // The game server runs with the fake console connected.
  void Run() {
    console_.PrepareKeldor();
    console_.SetResponder([](const fake::ConsoleRequest&) { return fake::Reply({}); });
    ASSERT_TRUE(ConnectConsole());
    seen_ = console_.Observed().requests.size();
  }
  Lines Commands() {
    Lines lines;
    const auto requests = console_.Observed().requests;
    for (std::size_t i = seen_; i < requests.size(); ++i) {
      for (const std::string& line : requests[i].Lines()) lines.push_back(line);
    }
    seen_ = requests.size();
    return lines;
  }
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
  std::string Settings(const std::string& name) const { return Opts().settingsDir + "/" + name; }
  std::string BanList() const { return ReadFile(Settings("serverbanlist.con")); }
  std::string GameList() const { return ReadFile(Settings("banlist.con")); }
  std::string PbList() const { return ReadFile(PunkBusterBanListPath()); }

  fake::FakeConsole console_;
  std::size_t seen_ = 0;
  std::size_t logSeen_ = 0;
};

TEST_F(BansTest, StoppedServerBansInTheGameFilesAndLiftsWholeIdentifiers) {
  WriteFile(Settings("banlist.con"), "admin.addAddressToBanList 110.1.2.3:0 Perm\n");
  WriteFile(PunkBusterBanListPath(), "");
  // Only unknown identifiers: nothing is said and nothing is written.
  EXPECT_FALSE(AddBan("Nobody", -1, "[unknown]", "*", "", "adm", kNow, 0, "r"));
  EXPECT_FALSE(AddBan("Nobody", -1, "1.2.3.4\nquit", "a b", "x,y", "adm", kNow, 0, "r"));
  EXPECT_TRUE(Messages().empty());
  EXPECT_FALSE(testing::Exists(Settings("serverbanlist.con")));

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

}  // namespace
}  // namespace keldor
