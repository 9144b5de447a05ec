// Alerts reaching real webhook receivers (a small Python server, plain HTTP
// and HTTPS with a throwaway certificate trusted through a `ca` line): each
// format's payload from a test alert and a crash; a target that is down or
// hangs holds up neither the clients nor the crash restarts; a crash loop
// sends a few messages, not one per crash.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

using Json = nlohmann::json;

constexpr const char* kToken = "tk_9f8e7d6c";

// A receiver process on a port of its choosing; what it got, one record a request.
class Receiver {
 public:
  Receiver(const TempDir& dir, const std::string& name, std::vector<std::string> options)
      : record_(dir / (name + ".jsonl")) {
    const std::string portFile = dir / (name + ".port");
    std::vector<std::string> args = {KELDOR_SUPPORT_DIR "/webhook_receiver.py", "--record", record_,
                                     "--port-file", portFile};
    args.insert(args.end(), options.begin(), options.end());
    process_ =
        std::make_unique<Process>("/usr/bin/python3", args, dir.path(), dir / (name + ".out"));
    if (!WaitFor([&] { return testing::Exists(portFile); })) {
      throw std::runtime_error("the receiver did not start: " + process_->Output());
    }
    port_ = std::stoi(ReadFile(portFile));
  }
  int port() const { return port_; }
  std::vector<Json> Records() const {
    std::vector<Json> records;
    std::istringstream lines(ReadFile(record_));
    for (std::string line; std::getline(lines, line);) records.push_back(Json::parse(line));
    return records;
  }
  // The records of requests to `path`.
  std::vector<Json> At(const std::string& path) const {
    std::vector<Json> found;
    for (const Json& r : Records()) {
      if (r["path"] == path) found.push_back(r);
    }
    return found;
  }

 private:
  std::string record_;
  std::unique_ptr<Process> process_;
  int port_ = 0;
};

// The json body of a record, parsed.
Json Body(const Json& record) {
  return Json::parse(record["body"].get<std::string>());
}

int CountKind(const std::vector<Json>& records, const std::string& kind) {
  return static_cast<int>(std::count_if(records.begin(), records.end(),
                                        [&](const Json& r) { return Body(r)["kind"] == kind; }));
}

class Alerts : public InstalledServer {
 protected:
  std::string Url(const Receiver& r, const std::string& path, bool tls = false) const {
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(r.port()) + path;
  }
  void StartSupervised() {
    keldor_ = Keldor({"-start", "-restart"}, "keldor.out");
    ASSERT_TRUE(WaitFor([&] { return Logged(" : Connected\r\n"); }, 40)) << Log();
  }
  std::pair<int, std::string> Admin(const std::vector<std::string>& args) {
    return RunAs(InstallationFact(dir_.path(), "admin-user"),
                 InstallationFact(dir_.path(), "admin-password"), args);
  }
};

TEST_F(Alerts, EachFormatArrivesAsDocumented) {
  ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                         "-nodes -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                         "-keyout " +
                         dir_ / "key.pem" + " -out " + dir_ / "cert.pem" + " 2>/dev/null")
                            .c_str()),
            0);
  Receiver plain(dir_, "plain", {});
  Receiver tls(dir_, "tls", {"--tls", dir_ / "cert.pem", dir_ / "key.pem"});
  WriteFile(SettingsPath("alerts.con"),
            "# alerts.con\n"
            "target chat discord " +
                Url(plain, "/discord/") + kToken +
                " crashed,test\n"
                "target team slack " +
                Url(plain, "/slack") +
                " crashed\n"
                "target phone ntfy " +
                Url(plain, "/ntfy") +
                " crashed,restarted\n"
                "header phone Authorization: Bearer " +
                kToken +
                "\n"
                "target log json " +
                Url(tls, "/json", true) +
                " all\n"
                "ca log " +
                dir_ / "cert.pem" + "\n");
  ASSERT_NO_FATAL_FAILURE(StartSupervised());
  EXPECT_TRUE(Logged("Alert targets: chat (discord), team (slack), phone (ntfy), log (json)."));

  EXPECT_TRUE(Says(Admin({"alert", "test"}), 0, "Test alert queued for 4 target(s).\n"));
  EXPECT_TRUE(Logged("asked for a test alert."));
  ASSERT_TRUE(WaitFor([&] { return plain.Records().size() == 3 && tls.Records().size() == 1; }))
      << Log();

  EXPECT_EQ(Sim("crash 3"), "ok");
  ASSERT_TRUE(WaitFor([&] { return plain.Records().size() == 7 && tls.Records().size() == 3; }))
      << Log();

  const std::string prefix = "Keldor Keldor Test Server: ";
  const std::vector<Json> discord = plain.At(std::string("/discord/") + kToken);
  ASSERT_EQ(discord.size(), 2u);
  EXPECT_EQ(Body(discord[1]), Json({{"content", prefix + "Server has crashed."},
                                    {"allowed_mentions", {{"parse", Json::array()}}}}));
  EXPECT_EQ(discord[1]["headers"]["Content-Type"], "application/json");
  EXPECT_TRUE(
      Body(discord[0])["content"].get<std::string>().starts_with(prefix + "Test alert from "));

  const std::vector<Json> slack = plain.At("/slack");
  ASSERT_EQ(slack.size(), 2u);
  EXPECT_EQ(Body(slack[1]), Json({{"text", prefix + "Server has crashed."}}));

  const std::vector<Json> ntfy = plain.At("/ntfy");
  ASSERT_EQ(ntfy.size(), 3u);
  EXPECT_EQ(ntfy[1]["body"], "Server has crashed.");
  EXPECT_EQ(ntfy[1]["headers"]["Title"], "Keldor Keldor Test Server: crashed");
  EXPECT_EQ(ntfy[1]["headers"]["Priority"], "high");
  EXPECT_EQ(ntfy[1]["headers"]["Authorization"], std::string("Bearer ") + kToken);
  EXPECT_EQ(ntfy[2]["body"], "Server was restarted.");

  const std::vector<Json> json = tls.At("/json");
  ASSERT_EQ(json.size(), 3u);
  const Json crash = Body(json[1]);
  EXPECT_EQ(crash["kind"], "crashed");
  EXPECT_EQ(crash["server"], "Keldor Test Server");
  EXPECT_EQ(crash["text"], "Server has crashed.");
  EXPECT_EQ(crash["fields"], Json::object());
  EXPECT_TRUE(std::regex_match(
      crash["time"].get<std::string>(),
      std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z")));
  EXPECT_EQ(Body(json[0])["kind"], "test");
  EXPECT_EQ(Body(json[2])["kind"], "restarted");

  EXPECT_EQ(Log().find(kToken), std::string::npos);
  EXPECT_FALSE(Logged("is failing!")) << Log();
}

TEST_F(Alerts, ADeadOrHangingTargetHoldsUpNobodyAndACrashLoopSendsLittle) {
  Receiver hanging(dir_, "hanging", {"--hold", "30"});
  Receiver fast(dir_, "fast", {});
  ReservedPort dead;  // bound, never listening: every connection is refused
  WriteFile(SettingsPath("alerts.con"),
            "target hanging json " + Url(hanging, "/") + "\n" +
                "target dead discord http://127.0.0.1:" + std::to_string(dead.port()) + "/" +
                kToken + "\ntarget fast json " + Url(fast, "/") + "\n");
  ASSERT_NO_FATAL_FAILURE(StartSupervised());
  EXPECT_TRUE(Says(Admin({"alert", "test"}), 0, "Test alert queued for 3 target(s)."));
  ASSERT_TRUE(WaitFor([&] { return hanging.Records().size() == 1; })) << Log();

  RawClient client(port_);
  ASSERT_TRUE(client.LogIn(InstallationFact(dir_.path(), "admin-user"),
                           InstallationFact(dir_.path(), "admin-password")));
  const auto slowestPing = [&] {
    auto slowest = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 20; ++i) {
      const auto begin = std::chrono::steady_clock::now();
      client.SendWord(REQ_PING);
      // Notifications of the crashes may come first.
      std::uint32_t code = 0;
      for (int note = 0; note < 100 && code != NOTE_PONG; ++note) code = client.ReadNote().first;
      EXPECT_EQ(code, NOTE_PONG);
      slowest = std::max(slowest, std::chrono::steady_clock::now() - begin);
    }
    return slowest;
  };
  EXPECT_LT(slowestPing(), std::chrono::milliseconds(250));

  // Three quick crashes: a restart after each of the first two, then the loop is given up.
  for (int crash = 1; crash <= 3; ++crash) {
    ASSERT_TRUE(WaitFor([&] { return CountLogged(" : Connected\r\n") == crash; }, 20)) << Log();
    EXPECT_EQ(Sim("crash 1"), "ok");
  }
  ASSERT_TRUE(WaitFor([&] { return Logged("Server is in a restart loop"); }, 20)) << Log();
  EXPECT_EQ(CountLogged("Auto-restart is enabled, restarting the server."), 2);
  EXPECT_LT(slowestPing(), std::chrono::milliseconds(250));

  ASSERT_TRUE(WaitFor([&] { return CountKind(fast.Records(), "restart_loop") == 1; })) << Log();
  const std::vector<Json> sent = fast.Records();
  EXPECT_EQ(CountKind(sent, "crashed"), 1);
  EXPECT_EQ(CountKind(sent, "restarted"), 1);
  EXPECT_EQ(sent.size(), 4u);  // and the test

  // The hanging target's attempt ends at its time limit; each failing target is logged once.
  EXPECT_TRUE(WaitFor([&] {
    return Logged("Alert target hanging is failing! Timeout was reached.");
  })) << Log();
  EXPECT_EQ(CountLogged("Alert target dead is failing! Couldn't connect to server."), 1);
  EXPECT_EQ(Log().find(kToken), std::string::npos);
}

// A request under way when Keldor is told to end is given up, not waited
// for: its answer must not keep the exit busy.
TEST_F(Alerts, ADeliveryUnderWayHoldsUpNoExit) {
  Receiver slow(dir_, "slow", {"--hold", "1"});
  WriteFile(SettingsPath("alerts.con"), "target slow json " + Url(slow, "/") + "\n");
  keldor_ = Keldor({}, "keldor.out");
  ASSERT_TRUE(WaitFor([&] { return Logged("Listening on"); })) << Log();
  EXPECT_TRUE(Says(Admin({"alert", "test"}), 0, "Test alert queued for 1 target(s)."));
  ASSERT_TRUE(WaitFor([&] { return slow.Records().size() == 1; })) << Log();
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(keldor_->End(SIGTERM), 15);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(8));
  EXPECT_TRUE(Logged("Gave up 1 alert message(s) not yet delivered.")) << Log();
}

}  // namespace
}  // namespace keldor::e2e
