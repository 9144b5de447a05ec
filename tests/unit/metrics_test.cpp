// The metrics text and its file: a label value from the settings cannot break
// out of its line, counts that only a current status reply may give, the ban
// count following its file, and a file that a reader never sees half written,
// that another user can read and whose failures do not flood the log.
#include "alerts/metrics.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>

#include "bans/ban_store.h"
#include "core/helpers.h"
#include "fake_status.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "runtime/game_server.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using testing::FileMode;
using testing::ReadFile;
using testing::WriteFile;

// The value of the sample named `name` (Keldor's port its one label), if the text has one.
std::optional<std::string> Sample(const std::string& text, const std::string& name) {
  const std::string start = name + "{port=\"" + std::to_string(Opts().listenPort) + "\"} ";
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(start, 0) == 0) return line.substr(start.size());
  }
  return std::nullopt;
}

class Metrics : public testing::StateTest {};

TEST(MetricsLabel, EscapesWhatTheFormatNamesAndRepairsTheEncoding) {
  EXPECT_EQ(MetricsLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
  EXPECT_EQ(MetricsLabelValue("Caf\xC3\xA9 \xE2\x82\xAC"), "Caf\xC3\xA9 \xE2\x82\xAC");
  // A stray byte, a sequence cut short at the end: each becomes U+FFFD.
  EXPECT_EQ(MetricsLabelValue("\xFFx\xC3"), "\xEF\xBF\xBDx\xEF\xBF\xBD");
  EXPECT_EQ(MetricsLabelValue("\xC3\"x"), "\xEF\xBF\xBD\\\"x");
}

// A server name cannot end its label and add a line of its own; the alert
// counters count until a reset. (The e2e test parses the whole text.)
TEST_F(Metrics, LabelsStayInTheirLineAndCountersCountAlerts) {
  Row(Setting::ServerName).text = "Evil\"} 1\nkeldor_up 0\n\\";
  for (const AlertKind kind : {AlertKind::kCrashed, AlertKind::kCrashed, AlertKind::kRestarted,
                               AlertKind::kHung, AlertKind::kRollback, AlertKind::kBan}) {
    CountAlert({kind, "", {}});
  }
  const std::string text = MetricsText();
  EXPECT_NE(text.find(",server=\"Evil\\\"} 1\\nkeldor_up 0\\n\\\\\"} 1\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("\nkeldor_up 0"), std::string::npos);
  EXPECT_EQ(Sample(text, "keldor_server_crashes_total"), "2");
  EXPECT_EQ(Sample(text, "keldor_server_restarts_total"), "1");
  EXPECT_EQ(Sample(text, "keldor_server_hangs_total"), "1");
  EXPECT_EQ(Sample(text, "keldor_rollbacks_total"), "1");
  ResetAllState();
  EXPECT_EQ(Sample(MetricsText(), "keldor_server_crashes_total"), "0");
}

// The status reply stays in its buffer after the server is gone: its counts
// are shown only while the server runs, the console is up and the last query
// was answered, and a count no server can have is not shown at all.
TEST_F(Metrics, PlayerCountsOnlyFromACurrentCredibleReply) {
  StatusReplyBuffer().assign(kStatusReplySize, '\0');
  Row(Setting::ServerIP).current = 0x7F000001;
  fake::FakeStatusServer fake;
  fake.AnswerInfo({"numplayers", "7", "maxplayers", "32"});
  ASSERT_NE(QueryStatus(fake.port(), "\\info\\"), nullptr);
  EXPECT_EQ(Sample(MetricsText(), "keldor_players"), std::nullopt);  // no server watched
  GameServer().monitoring = true;
  GameServer().pid = getpid();
  Console().connected = true;
  std::string text = MetricsText();
  EXPECT_EQ(Sample(text, "keldor_players"), "7");
  EXPECT_EQ(Sample(text, "keldor_player_slots"), "32");
  Console().connected = false;  // the link went with a crash
  EXPECT_EQ(Sample(MetricsText(), "keldor_players"), std::nullopt);
  Console().connected = true;

  fake.AnswerInfo({"numplayers", "-1", "maxplayers", "65"});
  ASSERT_NE(QueryStatus(fake.port(), "\\info\\"), nullptr);
  text = MetricsText();
  EXPECT_EQ(Sample(text, "keldor_players"), std::nullopt);
  EXPECT_EQ(Sample(text, "keldor_player_slots"), std::nullopt);
  EXPECT_NE(text.find("# TYPE keldor_players gauge\n"), std::string::npos);
}

TEST_F(Metrics, BanCountFollowsItsFile) {
  EXPECT_EQ(Sample(MetricsText(), "keldor_bans"), "0");  // no list yet
  const std::string ban = "\"A\",10.0.0.1,*,*,\"adm\",1,0,r\n";
  WriteFile(ServerBanListPath(), ban + "not a ban\n" + ban);
  EXPECT_EQ(Sample(MetricsText(), "keldor_bans"), "2");
  ASSERT_TRUE(AppendWhole(ServerBanListPath(), ban));
  EXPECT_EQ(Sample(MetricsText(), "keldor_bans"), "3");
  std::filesystem::remove(ServerBanListPath());
  std::filesystem::create_directory(ServerBanListPath());  // not a file: no count, no hang
  EXPECT_EQ(Sample(MetricsText(), "keldor_bans"), std::nullopt);
}

std::string g_watched;
std::string g_seenAtReplace;
void RecordAtReplace(const std::string& path) {
  if (path == g_watched) g_seenAtReplace = ReadFile(path);
}

// The textfile collector runs as another user and reads at any moment.
TEST_F(Metrics, TheFileIsReplacedWholeAndReadableByOthers) {
  Opts().metricsPath = g_watched = dir_ / "textfile/keldor.prom";
  const mode_t saved = umask(077);  // a service's usual umask
  WriteMetricsFile();
  umask(saved);
  const std::string first = ReadFile(g_watched);
  EXPECT_TRUE(first.starts_with("# HELP keldor_up ")) << first;
  EXPECT_EQ(FileMode(g_watched), 0644u);

  // The next text goes in beside it: until the rename the old one is there whole.
  ASSERT_EQ(chmod(g_watched.c_str(), 0640), 0);  // an operator's choice stays
  CountAlert({AlertKind::kCrashed, "", {}});
  SetReplaceFileHook(RecordAtReplace);
  WriteMetricsFile();
  SetReplaceFileHook(nullptr);
  EXPECT_EQ(g_seenAtReplace, first);
  EXPECT_EQ(Sample(ReadFile(g_watched), "keldor_server_crashes_total"), "1");
  EXPECT_EQ(FileMode(g_watched), 0640u);
  EXPECT_EQ(testing::Listing(dir_ / "textfile").size(), 3u);  // ".", ".." and the file alone
}

TEST_F(Metrics, AFailedWriteIsLoggedOncePerRunOfFailures) {
  const std::string blocker = dir_ / "blocked";
  Opts().metricsPath = blocker + "/keldor.prom";
  const char* failure = "Couldn't write metrics file ";
  WriteFile(blocker, "a file where the directory should be\n");
  for (int pass = 0; pass < 3; ++pass) WriteMetricsFile();
  EXPECT_EQ(CountLogged(failure), 1) << Log();
  EXPECT_TRUE(Logged(std::string(failure) + Opts().metricsPath + "! ")) << Log();

  std::filesystem::remove(blocker);
  WriteMetricsFile();
  EXPECT_TRUE(testing::Exists(Opts().metricsPath));
  std::filesystem::remove_all(blocker);
  WriteFile(blocker, "in the way again\n");
  WriteMetricsFile();
  WriteMetricsFile();
  EXPECT_EQ(CountLogged(failure), 2) << Log();
}

}  // namespace
}  // namespace keldor
