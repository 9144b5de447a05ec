// The fleet's records as Keldor keeps and reads them, and rows of the fleet's
// ban list put into effect with the game server stopped (its files). The
// database link itself is exercised end to end against a real PostgreSQL.
#include "fleet/fleet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bans/ban_store.h"
#include "bans/game_lists.h"
#include "fleet/records.h"
#include "fleet/schema.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using testing::ReadFile;

const std::string kId = "0123456789abcdef0123456789abcdef";

TEST(FleetRecords, OutboxLinesRoundTripAndRefuseWhatCannotBeAChange) {
  const FleetChange ban{ChangeKind::kBan,
                        {kId, "a", "admin", "Cheater", "10.0.0.1", "", "", "1700000000", "0",
                         "tab\there, line\nend and a back\\slash"}};
  const std::string line = EncodeChange(ban);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  FleetChange read;
  ASSERT_TRUE(DecodeChange(line, read));
  EXPECT_EQ(read.fields, ban.fields);
  EXPECT_TRUE(DecodeChange(line + "\r", read));  // a line a hand edit ended with CR

  const auto refused = [&](ChangeKind kind, std::vector<std::string> fields) {
    FleetChange change;
    return !DecodeChange(EncodeChange({kind, std::move(fields)}), change);
  };
  EXPECT_TRUE(refused(ChangeKind::kBan, {kId, "a", "admin", "x", "10.0.0.1", "", "", "1", "0"}));
  EXPECT_TRUE(refused(ChangeKind::kBan,
                      {"not-an-id", "a", "admin", "x", "10.0.0.1", "", "", "1", "0", "r"}));
  EXPECT_TRUE(refused(ChangeKind::kBan, {kId, "a", "admin", "x", "", "*", "", "1", "0", "r"}));
  EXPECT_TRUE(refused(ChangeKind::kLift, {"a", "admin", "10.0.0.1", "", "", "-5"}));
  EXPECT_TRUE(refused(ChangeKind::kAction,
                      {kId, "a", "soon", "admin", "p", "", "", "", "m", "kick", "0", ""}));
  EXPECT_FALSE(DecodeChange("X\t1\t2", read));
  EXPECT_FALSE(DecodeChange("L\ta\tadmin\t10.0.0.1\t\t\t1\\q", read));  // unknown escape
  EXPECT_FALSE(DecodeChange("L\ta\tadmin\t10.0.0.1\t\t\t1\t7", read));  // one field too many
}

TEST(FleetRecords, RowsFromOthersAreCheckedBeforeUse) {
  const auto row = [](std::string address, std::string name, std::string seq = "7") {
    return std::vector<std::string>{seq, kId, "b", "admin", name, address, "",
                                    "",  "1", "0", "why",   "",   ""};
  };
  FleetBanRow parsed;
  // An identifier that would end the console command or the list line early is
  // no identifier; a row left without one is refused.
  EXPECT_FALSE(ParseFleetBanRow(row("1.2.3.4\nquit", "x"), parsed));
  EXPECT_FALSE(ParseFleetBanRow(row("1.2.3.4 ; admin.clearBanList", "x"), parsed));
  EXPECT_FALSE(ParseFleetBanRow(row("1.2.3.4", "x", "7x"), parsed));
  ASSERT_TRUE(ParseFleetBanRow(row("1.2.3.4", "Caf\xe9\n\"x\""), parsed));
  EXPECT_EQ(parsed.address, "1.2.3.4");
  EXPECT_EQ(parsed.name, "Caf\xc3\xa9 \"x\"");  // Latin-1 made UTF-8, one line
  EXPECT_EQ(parsed.seq, 7);
  EXPECT_EQ(FleetText(std::string(1000, 'r')).size(), kFleetTextMax);
  EXPECT_TRUE(NotificationWanted(kFleetChannel, "b", "a"));
  EXPECT_FALSE(NotificationWanted(kFleetChannel, "a", "a"));
  EXPECT_FALSE(NotificationWanted("other", "b", "a"));
}

class FleetApplyTest : public testing::StateTest {
 protected:
  static FleetBanRow Row(long long seq, const std::string& server, const std::string& address,
                         long long end = 0) {
    FleetBanRow row;
    row.seq = seq;
    row.id = kId;
    row.server = server;
    row.admin = "admin";
    row.name = "Player" + std::to_string(seq);
    row.address = address;
    row.start = 1700000000 + seq;
    row.end = end;
    row.reason = "cheating";
    return row;
  }
  static std::size_t Lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }
};

TEST_F(FleetApplyTest, BansFromElsewhereAreAddedOnceAndLiftsFromElsewhereLift) {
  const std::vector<FleetBanRow> rows{Row(1, "b", "10.0.0.1"), Row(2, "a", "10.0.0.2"),
                                      Row(3, "b", "10.0.0.3", 1000)};  // ended long ago
  ApplyFleetRows(rows, "a", false);
  ApplyFleetRows(rows, "a", true);  // a page read again after a crash adds nothing twice
  const std::string own = ReadFile(ServerBanListPath());
  EXPECT_EQ(Lines(own), 1u) << own;
  EXPECT_NE(own.find("\"Player1\",10.0.0.1,*,*,\"admin\",1700000001,0,cheating"),
            std::string::npos);
  EXPECT_EQ(Lines(ReadFile(GameBanListPath())), 1u);

  FleetBanRow lifted = Row(1, "b", "10.0.0.1");
  lifted.seq = 4;
  lifted.lifted = true;
  lifted.liftedOn = "a";  // lifted here: already done
  ApplyFleetRows({lifted}, "a", false);
  EXPECT_EQ(Lines(ReadFile(ServerBanListPath())), 1u);
  lifted.liftedOn = "c";
  ApplyFleetRows({lifted}, "a", false);
  EXPECT_EQ(ReadFile(ServerBanListPath()), "");
  EXPECT_EQ(ReadFile(GameBanListPath()), "");
}

}  // namespace
}  // namespace keldor
