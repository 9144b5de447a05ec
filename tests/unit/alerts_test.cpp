// Alerts to webhooks: the alerts file's refusals and limits, each format's
// payload for a hostile report byte for byte, the rate limit on a pinned
// clock, and the retry decisions against real sockets on 127.0.0.1.
#include "alerts/alerts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "alerts/alert_payloads.h"
#include "alerts/alert_policy.h"
#include "alerts/alert_targets.h"
#include "core/clock.h"
#include "core/helpers.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using testing::ReadFile;
using testing::WriteFile;

constexpr const char* kToken = "s3cr3tT0ken";

TEST(AlertsFile, BrokenLinesAreSkippedAndTheRestKept) {
  std::string text =
      "# alerts.con\n"
      "target ops discord https://discord.example/api/webhooks/1/s3cr3tT0ken crashed,hung\n"
      "target phone ntfy http://ntfy.example/keldor\r\n"
      "header phone Authorization: Bearer s3cr3tT0ken\n"
      "ca phone private-ca.pem\n"
      "target files json file:///etc/s3cr3tT0ken all\n"           // 6: not http(s)
      "target go json gopher://example/s3cr3tT0ken all\n"         // 7
      "target odd xml https://example/s3cr3tT0ken all\n"          // 8: format
      "target kinds json https://example/ crashed,s3cr3tT0ken\n"  // 9: kind
      "target ops json https://example/again\n"                   // 10: twice
      "header nobody X-Key: s3cr3tT0ken\n"                        // 11: no such target
      "header ops Content-Length: 5\n"                            // 12: libcurl's own
      "header ops X-Key s3cr3tT0ken\n"                            // 13: no colon
      "target bad/name json https://example/\n"                   // 14
      "header ops X-Key: a\rb\n"                                  // 15: a bare CR
      "target hostless json https:///path\n"                      // 16
      "nonsense\n";                                               // 17
  text += "target long json https://example/" + std::string(kAlertsLineMax, 'a') + "\n";  // 18
  for (int i = 0; i < 16; ++i) {
    text += "target t" + std::to_string(i) + " json https://example/" + std::to_string(i) + "\n";
  }
  const AlertsFile file = ParseAlertsFile(text, "/srv/settings");
  std::vector<int> lines;
  for (const AlertsFileProblem& p : file.problems) {
    lines.push_back(p.line);
    EXPECT_EQ(p.reason.find(kToken), std::string::npos) << p.reason;
    EXPECT_EQ(p.reason.find("example"), std::string::npos) << p.reason;
  }
  // The two good targets, then 14 of the 16 numbered ones: the file holds 16 at most.
  EXPECT_EQ(lines, (std::vector<int>{6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 33, 34}));
  ASSERT_EQ(file.targets.size(), kAlertTargetsMax);
  const AlertTarget& ops = file.targets[0];
  EXPECT_EQ(ops.format, AlertFormat::kDiscord);
  EXPECT_TRUE(ops.kinds.test(static_cast<std::size_t>(AlertKind::kCrashed)));
  EXPECT_FALSE(ops.kinds.test(static_cast<std::size_t>(AlertKind::kBan)));
  EXPECT_TRUE(ops.headers.empty());
  const AlertTarget& phone = file.targets[1];
  EXPECT_EQ(phone.url, "http://ntfy.example/keldor");  // the CR of a CRLF file is no part of it
  EXPECT_TRUE(phone.kinds.all());
  EXPECT_EQ(phone.headers, std::vector<std::string>{"Authorization: Bearer s3cr3tT0ken"});
  EXPECT_EQ(phone.caFile, "/srv/settings/private-ca.pem");
}

class AlertsTest : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    Row(Setting::ServerName).text = "Caf\xC3\xA9\tNord";
  }
  void WriteTargets(const std::string& text, mode_t mode = 0600) {
    WriteFile(SettingsFile("alerts.con"), text);
    chmod(SettingsFile("alerts.con").c_str(), mode);
    // The file is reloaded when its time, size or inode differ: a rewrite in
    // the same nanosecond tick with the same size would look unchanged.
    AdvanceFileTime();
    LoadAlerts();
  }
  void AdvanceFileTime() {
    static long long tick = 1000000000;
    const timespec times[2] = {{tick, 0}, {tick, 0}};
    ++tick;
    utimensat(AT_FDCWD, SettingsFile("alerts.con").c_str(), times, 0);
  }
};

TEST_F(AlertsTest, TheFileIsNarrowedReloadedAndItsSecretsNeverLogged) {
  WriteTargets(std::string("target ops discord https://example/") + kToken +
                   " crashed\nheader ops X-Key: " + kToken + "\ntarget bad json ftp://" + kToken +
                   "\n",
               0644);
  EXPECT_EQ(testing::FileMode(SettingsFile("alerts.con")), 0600u);
  EXPECT_TRUE(Logged("Tightened the mode of " + SettingsFile("alerts.con") + " to 0600"));
  EXPECT_TRUE(Logged("Skipped line 3 of " + SettingsFile("alerts.con") + ": target bad's URL"));
  EXPECT_TRUE(Logged("Alert targets: ops (discord)."));

  const std::string before = Log();
  LoadAlerts();  // unchanged: not read again
  EXPECT_EQ(Log(), before);
  WriteTargets("target ops slack https://example/a all\ntarget two json http://example/b\n");
  EXPECT_TRUE(Logged("Alert targets: ops (slack), two (json)."));
  EXPECT_EQ(SendTestAlert("admin"), 2);
  EXPECT_TRUE(Logged("User admin asked for a test alert."));

  std::filesystem::remove(SettingsFile("alerts.con"));
  LoadAlerts();
  EXPECT_TRUE(Logged("alerts.con is gone: no alert targets."));
  EXPECT_EQ(SendTestAlert("admin"), 0);
  EXPECT_EQ(Log().find(kToken), std::string::npos);

  // A link is never followed, and a file too large is refused whole.
  std::filesystem::create_symlink("/etc/hostname", SettingsFile("alerts.con"));
  LoadAlerts();
  EXPECT_TRUE(Logged("Couldn't read " + SettingsFile("alerts.con") + "!"));
  std::filesystem::remove(SettingsFile("alerts.con"));
  WriteTargets("# " + std::string(kAlertsFileMax, 'x') + "\n");
  EXPECT_TRUE(Logged("It is no regular file of at most 65536 bytes."));
}

// A report with everything a player's name can bring.
AlertReport HostileReport() {
  return {AlertKind::kBan,
          "Banned \"@everyone\" <!channel> & Jos\xE9\nagain.",
          {{"player", "@everyone \"x\"\n"}, {"by", "admin\x85"}}};
}

TEST(AlertPayloads, EachFormatIsExactValidUtf8OnOneLineAndDefused) {
  const AlertContext context{"Caf\xC3\xA9\tNord", 1765166460, 2, 1765166460 - 120};
  const AlertReport report = HostileReport();

  const AlertPayload discord = BuildAlertPayload(AlertFormat::kDiscord, report, context);
  EXPECT_EQ(
      discord.body,
      "{\"content\":\"Keldor Caf\xC3\xA9 Nord: Banned \\\"@everyone\\\" <!channel> & "
      "Jos\xC3\xA9 again. (and 2 more since 03:59 UTC)\",\"allowed_mentions\":{\"parse\":[]}}");
  EXPECT_EQ(discord.headers, std::vector<std::string>{"Content-Type: application/json"});

  EXPECT_EQ(BuildAlertPayload(AlertFormat::kSlack, report, context).body,
            "{\"text\":\"Keldor Caf\xC3\xA9 Nord: Banned \\\"@everyone\\\" &lt;!channel&gt; &amp; "
            "Jos\xC3\xA9 again. (and 2 more since 03:59 UTC)\"}");

  const AlertPayload ntfy = BuildAlertPayload(AlertFormat::kNtfy, report, context);
  EXPECT_EQ(ntfy.body,
            "Banned \"@everyone\" <!channel> & Jos\xC3\xA9 again. (and 2 more since 03:59 UTC)");
  EXPECT_EQ(ntfy.headers,
            (std::vector<std::string>{"Content-Type: text/plain; charset=utf-8",
                                      "Title: =?UTF-8?B?S2VsZG9yIENhZsOpIE5vcmQ6IGJhbg==?=",
                                      "Priority: default", "Tags: keldor,ban"}));

  EXPECT_EQ(BuildAlertPayload(AlertFormat::kJson, report, context).body,
            "{\"kind\":\"ban\",\"server\":\"Caf\xC3\xA9 Nord\",\"time\":\"2025-12-08T04:01:00Z\","
            "\"text\":\"Banned \\\"@everyone\\\" <!channel> & Jos\xC3\xA9 again. (and 2 more since "
            "03:59 UTC)\",\"fields\":{\"player\":\"@everyone \\\"x\\\" \",\"by\":\"admin \"},"
            "\"more\":2,\"since\":\"2025-12-08T03:59:00Z\"}");
}

TEST(AlertPayloads, LongTextsAreCutOnACharacterBoundary) {
  // 1500 two-byte characters: 3000 bytes, cut to 2000 with the ellipsis.
  std::string text;
  for (int i = 0; i < 1500; ++i) text += "\xC3\xA9";
  const std::string line = AlertLine(text, kAlertTextMax);
  EXPECT_EQ(line.size(), 1999u);
  EXPECT_TRUE(line.ends_with("\xC3\xA9..."));
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t n = Utf8SequenceLength(std::string_view(line).substr(at));
    ASSERT_GT(n, 0u) << at;
    at += n;
  }
  // A title with only ASCII stays readable; the json time is UTC whatever the zone.
  const AlertPayload ntfy =
      BuildAlertPayload(AlertFormat::kNtfy, {AlertKind::kRestartLoop, "x", {}}, {"", 0, 0, 0});
  EXPECT_EQ(ntfy.headers[1], "Title: Keldor: restart_loop");
  EXPECT_EQ(ntfy.headers[2], "Priority: urgent");
}

TEST_F(AlertsTest, ACrashLoopIsFoldedIntoOneMessagePerWindow) {
  PinClock(1765166460);  // 04:01:00 UTC
  WriteTargets("target ops json http://127.0.0.1:9/ crashed,restarted\n");
  const AlertReport crash{AlertKind::kCrashed, "Server has crashed.", {}};
  for (int i = 0; i < 5; ++i) {
    QueueAlert(crash);
    QueueAlert({AlertKind::kRestarted, "Server was restarted.", {}});
    QueueAlert({AlertKind::kBan, "not wanted", {}});
    AdvanceClock(10);
  }
  EXPECT_EQ(PendingAlertBodies("ops").size(), 2u);
  // A test is held by no window.
  QueueAlert({AlertKind::kTest, "Test alert from admin.", {}});
  EXPECT_EQ(PendingAlertBodies("ops").size(), 3u);

  AdvanceClock(kAlertKindWindowMs / 1000 - 50 + 1);
  QueueAlert(crash);
  const std::vector<std::string> bodies = PendingAlertBodies("ops");
  ASSERT_EQ(bodies.size(), 4u);
  EXPECT_NE(bodies[3].find("\"text\":\"Server has crashed. (and 4 more since 04:01 UTC)\""),
            std::string::npos)
      << bodies[3];
  EXPECT_NE(bodies[3].find("\"more\":4,\"since\":\"2025-12-08T04:01:10Z\""), std::string::npos);
  EXPECT_EQ(AlertCounts().dropped, 8u);
}

TEST_F(AlertsTest, TheHourlyCapAndTheQueueAreBounded) {
  PinClock(1765166460);
  WriteTargets("target ops json http://127.0.0.1:9/\n");
  for (int i = 0; i < 40; ++i) QueueAlert({AlertKind::kTest, "t" + std::to_string(i), {}});
  EXPECT_EQ(PendingAlertBodies("ops").size(), kAlertHourlyCap);
  EXPECT_EQ(AlertCounts().dropped, 10u);

  // Spread out they pass the cap once the first 30 are an hour old: those
  // held meanwhile are told of by the next that goes, and the queue keeps the newest 100.
  for (int i = 0; i < 120; ++i) {
    AdvanceClock(kAlertCapWindowMs / 1000 / kAlertHourlyCap + 1);
    QueueAlert({AlertKind::kTest, "n" + std::to_string(i), {}});
  }
  const std::vector<std::string> bodies = PendingAlertBodies("ops");
  ASSERT_EQ(bodies.size(), 100u);
  EXPECT_NE(bodies[0].find("\"text\":\"t21\""), std::string::npos) << bodies[0];
  EXPECT_NE(bodies[9].find("\"text\":\"n29 (and 39 more since 04:01 UTC)\""), std::string::npos)
      << bodies[9];
  EXPECT_NE(bodies.back().find("\"text\":\"n119\""), std::string::npos);
  EXPECT_EQ(AlertCounts().dropped, 10u + 29u + 21u);
}

TEST(AlertPolicy, RetriesDoubleWithinTheirBoundsAndOnlyTransientFailuresRetry) {
  long long wait = 0;
  std::vector<long long> waits;
  for (int i = 0; i < 9; ++i) waits.push_back(wait = NextRetryMs(wait, -1));
  EXPECT_EQ(waits, (std::vector<long long>{2000, 4000, 8000, 16000, 32000, 64000, 128000, 256000,
                                           300000}));
  EXPECT_EQ(NextRetryMs(4000, 30), 30000);
  EXPECT_EQ(NextRetryMs(4000, 86400), kAlertLongestRetryMs);  // a Retry-After of a day is capped
  EXPECT_EQ(NextRetryMs(0, 0), kAlertFirstRetryMs);

  EXPECT_EQ(ClassifyAttempt(0, 204), AlertOutcome::kDelivered);
  EXPECT_EQ(ClassifyAttempt(23, 200), AlertOutcome::kDelivered);  // body cut, status known
  EXPECT_EQ(ClassifyAttempt(7, 0), AlertOutcome::kRetry);         // could not connect
  for (long status : {408L, 429L, 500L, 503L}) {
    EXPECT_EQ(ClassifyAttempt(0, status), AlertOutcome::kRetry) << status;
  }
  for (long status : {301L, 400L, 401L, 404L}) {
    EXPECT_EQ(ClassifyAttempt(0, status), AlertOutcome::kRefused) << status;
  }
}

// An HTTP peer on 127.0.0.1 that answers each connection, in turn, with the
// next of its canned responses, and counts the requests.
class CannedHttp {
 public:
  explicit CannedHttp(std::vector<std::string> responses)
      : listener_(testing::BindLoopback(SOCK_STREAM)), responses_(std::move(responses)) {
    listen(listener_, 8);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CannedHttp() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  int port() const { return testing::LocalPort(listener_); }
  int requests() const { return requests_; }

 private:
  void Serve() {
    for (const std::string& response : responses_) {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      std::string request;
      char chunk[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        request.append(chunk, static_cast<std::size_t>(n));
      }
      ++requests_;
      send(fd, response.data(), response.size(), MSG_NOSIGNAL);
      close(fd);
    }
  }
  int listener_;
  std::vector<std::string> responses_;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

std::string Response(const std::string& status, const std::string& extra = "") {
  return "HTTP/1.1 " + status + "\r\n" + extra + "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

// Runs the loop's share of alert delivery until `done` or five seconds.
bool Pump(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    fd_set read, write;
    FD_ZERO(&read);
    FD_ZERO(&write);
    int top = 0;
    AddAlertSockets(read, write, top);
    const long long ms = UntilAlertTimer(20);
    timeval timeout{0, static_cast<suseconds_t>(ms * 1000)};
    select(top, &read, &write, nullptr, &timeout);
    ServeAlerts();
  }
  return true;
}

TEST_F(AlertsTest, AFailingTargetBacksOffLogsOnceAndRecovers) {
  PinClock(1765166460);
  CannedHttp peer({Response("503 Busy"), Response("429 Slow down", "Retry-After: 30\r\n"),
                   Response("204 No Content"), Response("404 Not Found"), Response("200 OK")});
  WriteTargets("target ops json http://127.0.0.1:" + std::to_string(peer.port()) + "/hook\n");
  QueueAlert({AlertKind::kTest, "one", {}});
  QueueAlert({AlertKind::kTest, "two", {}});
  ASSERT_TRUE(Pump([&] { return AlertCounts().failed == 1; }));
  EXPECT_EQ(AlertTargetDueIn("ops"), kAlertFirstRetryMs);
  EXPECT_EQ(UntilAlertTimer(60000), kAlertFirstRetryMs);  // the loop sleeps until then, no longer
  EXPECT_TRUE(Logged("Alert target ops is failing! HTTP status 503."));

  AdvanceClock(2);
  ASSERT_TRUE(Pump([&] { return AlertCounts().failed == 2; }));
  EXPECT_EQ(AlertTargetDueIn("ops"), 30000);  // the 429's Retry-After
  EXPECT_EQ(CountLogged("is failing!"), 1);

  // Delivered in order; the 404 refuses "two" for good, without a retry.
  AdvanceClock(30);
  ASSERT_TRUE(Pump([&] { return PendingAlertBodies("ops").empty(); }));
  EXPECT_EQ(peer.requests(), 4);
  EXPECT_TRUE(Logged("Alert target ops delivers again."));
  EXPECT_TRUE(
      Logged("Alert target ops is failing! HTTP status 404; the message is not sent again."));
  const AlertTally tally = AlertCounts();
  EXPECT_EQ(tally.sent, 1u);
  EXPECT_EQ(tally.failed, 3u);
  EXPECT_EQ(tally.dropped, 1u);
}

}  // namespace
}  // namespace keldor
