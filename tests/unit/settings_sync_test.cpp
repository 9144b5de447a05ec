// Reading settings back from and pushing changes to a game console: an
// in-process fake console on 127.0.0.1 answers the requests.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "core/error.h"
#include "fake_console.h"
#include "gamelink/config_sync.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "remote/transfer.h"
#include "runtime/options.h"
#include "settings/game_config.h"
#include "settings/settings.h"
#include "settings_test_support.h"

namespace keldor {
namespace {

using fake::ConsoleReply;
using fake::ConsoleRequest;
using fake::FakeConsole;
using fake::Reply;

// The keys read back over the console, in table order: those of
// serverautoexec.con but the round count, ticket ratio, start delay and the
// console line (the status reply and the launch keep those).
std::vector<std::string> QueriedKeys() {
  std::vector<std::string> keys;
  std::istringstream lines(testing::kDefaultAutoexec);
  for (std::string line; std::getline(lines, line);) {
    const std::string key = line.substr(0, line.find(' '));
    if (key != "admin.setNrOfRounds" && key != "admin.setTicketRatio" &&
        key != "admin.delayBeforeStartingGame" && key != "admin.enableRemoteConsole") {
      keys.push_back(key);
    }
  }
  return keys;
}
const std::vector<std::string> kQueriedKeys = QueriedKeys();

class SettingsSyncTest : public testing::SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    console_.PrepareKeldor();
  }
  void TearDown() override {
    ResetConsoleLink();
    SettingsTest::TearDown();
  }

  void Connect() { ASSERT_TRUE(ConnectConsole()) << ErrorText(ErrorCode()); }

  // Answers each queried key with the value given for it, "0" otherwise.
  void AnswerQueries(const std::map<std::string, std::string>& values, std::size_t keep = 1000) {
    console_.SetResponder([values, keep](const ConsoleRequest& request) {
      std::vector<std::string> strings;
      for (const std::string& key : request.Lines()) {
        if (strings.size() == keep) break;
        const auto found = values.find(key);
        strings.push_back(found == values.end() ? "0" : found->second);
      }
      return Reply(strings);
    });
  }

  void SetStatusReply(const std::string& text) {
    StatusReplyBuffer().assign(kStatusReplySize, '\0');
    std::copy(text.begin(), text.end(), StatusReplyBuffer().begin());
  }

  // The command lines of every request after the login.
  std::vector<std::vector<std::string>> SentLines() const {
    std::vector<std::vector<std::string>> sent;
    for (const ConsoleRequest& request : console_.Observed().requests)
      sent.push_back(request.Lines());
    return sent;
  }

  FakeConsole console_;
};

TEST_F(SettingsSyncTest, ReadBackParsesEachTypeAndTheConsoleUnits) {
  Connect();
  SetStatusReply("\\hostname\\x\\Number Of Rounds\\5\\Ticket Ratio\\150\\mapname\\y");
  Row(Setting::ServerCrosshairCenterpoint).current = 0;  // not read back
  AnswerQueries({{"admin.bandwidthChokeLimit", "256"},
                 {"admin.maxAllowedConnectionType", "CTCable128Kbps"},
                 {"admin.timeLimit", "1200"},
                 {"admin.scoreLimit", "250"},  // no range check on read-back
                 {"admin.soldierFFRatio", "0.75"},
                 {"admin.kickback", "0.29"},
                 {"admin.spawnDelayPenaltyForTK", "2.5"}});
  ASSERT_TRUE(ReadServerSettings());
  ASSERT_EQ(SentLines(), std::vector<std::vector<std::string>>{kQueriedKeys});
  EXPECT_EQ(Row(Setting::ServerBandwidthChokeLimit).text, "256");
  EXPECT_EQ(Row(Setting::ServerMaxAllowedConnectionType).text, "CTCable128Kbps");
  EXPECT_EQ(Row(Setting::ServerGameTime).current, 20);
  EXPECT_EQ(Row(Setting::ServerScoreLimit).current, 250);
  EXPECT_EQ(Row(Setting::ServerSoldierFriendlyFire).current, 75);
  EXPECT_EQ(Row(Setting::ServerKickback).current, 29);
  EXPECT_EQ(Row(Setting::SpawnDelayPenaltyForTK).current, 25);
  EXPECT_EQ(Row(Setting::ServerNumberOfRounds).current, 5);
  EXPECT_EQ(Row(Setting::ServerTicketRatio).current, 150);
  EXPECT_EQ(Row(Setting::ServerCrosshairCenterpoint).current, 0);
  ASSERT_TRUE(PushServerSettings());  // what was read is not pushed back
  EXPECT_EQ(SentLines().size(), 1u);
  AnswerQueries({{"admin.timeLimit", "90"}});
  SetStatusReply("");
  ASSERT_TRUE(ReadServerSettings());
  EXPECT_EQ(Row(Setting::ServerGameTime).current, 1);
  EXPECT_EQ(Row(Setting::ServerNumberOfRounds).current, 5);  // no status key: kept
}

TEST_F(SettingsSyncTest, ReadBackFailsOnAShortReplyOrWithoutTheLink) {
  Connect();
  SettingsSnapshot()[RowIndex(Setting::ServerGameTime)].current = 7;
  AnswerQueries({{"admin.bandwidthChokeLimit", "64"}, {"admin.timeLimit", "600"}}, 3);
  EXPECT_FALSE(ReadServerSettings());
  EXPECT_EQ(ErrorCode(), kErrReadSettings);
  EXPECT_EQ(Row(Setting::ServerBandwidthChokeLimit).text, "64");  // taken before the end
  EXPECT_EQ(Row(Setting::ServerGameTime).current, 10);
  EXPECT_EQ(SettingsSnapshot()[RowIndex(Setting::ServerGameTime)].current, 7);

  // An empty line keeps its place: the lines after it still meet their own keys.
  console_.SetResponder([](const ConsoleRequest& request) {
    std::vector<std::string> strings(request.Lines().size(), "1");
    strings[0] = "";
    strings[2] = "120";
    return Reply(strings);
  });
  ASSERT_TRUE(ReadServerSettings());
  EXPECT_EQ(Row(Setting::ServerGameTime).current, 2);

  console_.SetResponder([](const ConsoleRequest&) { return ConsoleReply{"", true}; });
  EXPECT_FALSE(ReadServerSettings());
  EXPECT_FALSE(Console().connected);
}

TEST_F(SettingsSyncTest, PushSendsEachChangedRowInTheConsoleFormat) {
  Connect();
  AnswerQueries({});
  CopySettingsToSnapshot();
  ASSERT_TRUE(PushServerSettings());
  EXPECT_TRUE(console_.Observed().requests.empty());  // nothing changed: nothing sent

  Row(Setting::ServerMaxAllowedConnectionType).text = "CTModem56Kbps";
  Row(Setting::ServerNumberOfRounds).current = 0;
  Row(Setting::ServerGameTime).current = 20;
  Row(Setting::ServerTicketRatio).current = 250;
  Row(Setting::ServerSoldierFriendlyFire).current = 75;
  Row(Setting::ServerKickback).current = 5;
  Row(Setting::SpawnDelayPenaltyForTK).current = 15;
  Row(Setting::ServerCrosshairCenterpoint).current = 0;
  Row(Setting::EnableRemoteAdmin).current = 1;
  Row(Setting::ConsolePassword).text = "newpw";
  // Never pushed: rows of the launch and of Keldor's own.
  Row(Setting::PhysicsGravity).current = 9;
  Row(Setting::AutoBan).current = 1;
  Row(Setting::ServerName).text = "not a console row";
  Row(Setting::EnableRemoteConsole).current = 0;
  ASSERT_TRUE(PushServerSettings());
  const std::vector<std::string> expected = {
      "admin.maxAllowedConnectionType CTModem56Kbps",
      "admin.setNrOfRounds 0",
      "admin.timeLimit 1200",
      "admin.setTicketRatio 2.5",
      "admin.soldierFFRatio 0.8",
      "admin.kickback 0.05",
      "admin.spawnDelayPenaltyForTK 1.5",
      "admin.crossHairCenterPoint 0",
      "admin.enableRemoteAdmin newpw",
  };
  ASSERT_EQ(SentLines(), std::vector<std::vector<std::string>>{expected});

  // Pushed rows are in the snapshot now; turning remote admin off is its own command.
  Row(Setting::EnableRemoteAdmin).current = 0;
  ASSERT_TRUE(PushServerSettings());
  EXPECT_EQ(SentLines().back(), std::vector<std::string>{"admin.disableRemoteAdmin"});
}

TEST_F(SettingsSyncTest, AFailedPushKeepsTheChangesForTheNextOne) {
  Connect();
  CopySettingsToSnapshot();
  Row(Setting::VotingTime).current = 90;
  console_.SetResponder([](const ConsoleRequest&) { return ConsoleReply{"", true}; });
  EXPECT_FALSE(PushServerSettings());
  EXPECT_EQ(SettingsSnapshot()[RowIndex(Setting::VotingTime)].current, 60);
  Connect();
  AnswerQueries({});
  ASSERT_TRUE(PushServerSettings());
  EXPECT_EQ(SentLines().back(), std::vector<std::string>{"admin.votingTime 90"});
}

// The round trip through a client is shown end to end; here what it cannot
// see: the push, the file for the next launch and a save that fails.
TEST_F(SettingsSyncTest, AnUploadIsAppliedSavedPushedAndWrittenForTheNextLaunch) {
  Connect();
  CopySettingsToSnapshot();
  AnswerQueries({});
  testing::WriteFile(dir_ / "servermanager.con", "admin.votingTime 90\n");
  EXPECT_TRUE(ApplyClientSettings(dir_ / "servermanager.con", 0x8 | 0x1, 3));
  EXPECT_EQ(SentLines().back(), std::vector<std::string>{"admin.votingTime 90"});
  const std::string autoexec = testing::ReadFile(Opts().settingsDir + "/serverautoexec.con");
  EXPECT_NE(autoexec.find("admin.votingTime 90\n"), std::string::npos);

  // Applied but not saved: the upload has failed, with the save's error.
  std::filesystem::remove(Opts().settingsDir + "/servermanager.con");
  std::filesystem::create_directory(Opts().settingsDir + "/servermanager.con");
  testing::WriteFile(dir_ / "servermanager.con", "admin.votingTime 80\n");
  EXPECT_FALSE(ApplyClientSettings(dir_ / "servermanager.con", 0x8 | 0x1, 3));
  EXPECT_NE(ErrorCode(), 0);
  EXPECT_EQ(Row(Setting::VotingTime).current, 80);
}

}  // namespace
}  // namespace keldor
