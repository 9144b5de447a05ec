// The metrics as a dashboard reads them: the -metrics file and keldorctl
// metrics, parsed by the Prometheus client's own parser, hold what gamesim and
// Keldor's files say; a crash and its restart are counted once each; and the
// Grafana dashboard asks only for metrics that are there.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

// Samples by name (labels included as the parser script prints them).
using Samples = std::map<std::string, double>;

// The text at `path` through tests/support/prom_values.py; nothing when the
// parser refuses it (its reason is added to the test's failure).
std::optional<Samples> Parse(const std::string& path) {
  const std::string command =
      "/usr/bin/python3 " KELDOR_SOURCE_DIR "/tests/support/prom_values.py '" + path + "' 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    output.append(buffer, n);
  if (pclose(pipe) != 0) {
    ADD_FAILURE() << "the parser refused " << path << ":\n" << output;
    return std::nullopt;
  }
  Samples samples;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const auto equals = line.rfind('=');
    samples[line.substr(0, equals)] = std::stod(line.substr(equals + 1));
  }
  return samples;
}

class MetricsFile : public InstalledServer {
 protected:
  void SetUp() override {
    InstalledServer::SetUp();
    WriteFile(SettingsPath("useraccess.con"), Account("watcher", "pw", 0x20));
    const std::string ban = "\"Cheat\",10.0.0.9,*,*,\"admin\",1700000000,0,aimbot\n";
    WriteFile(SettingsPath("serverbanlist.con"), ban + ban);
  }
  // The file's samples once `ready` holds of them (within 30 s; the file is
  // rewritten every 3, and parsed again only when its text has changed).
  Samples WaitForFile(const std::function<bool(const Samples&)>& ready) {
    Samples last;
    std::string seen;
    WaitFor(
        [&] {
          const std::string text = ReadFile(path_);
          if (text.empty() || text == seen) return false;
          seen = text;
          last = Parse(path_).value_or(Samples{});
          return ready(last);
        },
        30);
    return last;
  }
  // The value of the sample `name` with Keldor's port as its label (and `more`
  // labels, sorted by name, after it); -1 when there is none.
  double Value(const Samples& samples, const std::string& name, const std::string& more = "") {
    const auto it = samples.find(name + "{port=\"" + Port() + "\"" + more + "}");
    return it == samples.end() ? -1 : it->second;
  }

  const std::string path_ = dir_ / "textfile/keldor.prom";
};

TEST_F(MetricsFile, ValuesFollowTheGameAndACrashIsCountedOnce) {
  keldor_ = Keldor({"-start", "-restart", "-exit", "-metrics", path_}, "keldor.out");
  ASSERT_TRUE(WaitFor([&] { return Logged(" : Connected\r\n"); }, 40)) << Log();
  ASSERT_EQ(Sim("add Alice").rfind("ok ", 0), 0u);
  ASSERT_EQ(Sim("add Bob").rfind("ok ", 0), 0u);
  ASSERT_EQ(Sim("players").rfind("ok 2 ", 0), 0u);
  const double slots = std::stod(Sim("get game.serverMaxPlayers").substr(3));

  Samples file = WaitForFile([this](const Samples& s) { return Value(s, "keldor_players") == 2; });
  EXPECT_EQ(Value(file, "keldor_players"), 2);
  EXPECT_EQ(Value(file, "keldor_player_slots"), slots);
  EXPECT_EQ(Value(file, "keldor_up"), 1);
  EXPECT_EQ(Value(file, "keldor_server_running"), 1);
  EXPECT_EQ(Value(file, "keldor_console_connected"), 1);
  EXPECT_EQ(Value(file, "keldor_status_query_answered"), 1);
  EXPECT_GE(Value(file, "keldor_status_query_latency_seconds"), 0);
  EXPECT_EQ(Value(file, "keldor_bans"), 2);
  EXPECT_EQ(Value(file, "keldor_server_crashes_total"), 0);
  EXPECT_EQ(Value(file, "keldor_info",
                  ",server=\"Keldor Test Server\",version=\"v" KELDOR_VERSION " beta 4e\""),
            1);
  EXPECT_EQ(testing::FileMode(path_), 0644u);

  // keldorctl prints the same text, as its own connection sees it.
  const auto [status, output] = RunAs("watcher", "pw", {"metrics"});
  ASSERT_EQ(status, 0) << output;
  WriteFile(dir_ / "ctl.prom", output);
  const Samples ctl = Parse(dir_ / "ctl.prom").value_or(Samples{});
  const std::set<std::string> timing = {"keldor_uptime_seconds",
                                        "keldor_metrics_timestamp_seconds",
                                        "keldor_status_queries_total",
                                        "keldor_status_answers_total",
                                        "keldor_status_query_latency_seconds",
                                        "keldor_clients_connected",
                                        "keldor_jobs_queued"};
  file = WaitForFile([](const Samples&) { return true; });
  ASSERT_EQ(ctl.size(), file.size()) << output;
  for (const auto& [name, value] : file) {
    ASSERT_TRUE(ctl.contains(name)) << name;
    if (timing.contains(name.substr(0, name.find('{')))) continue;
    EXPECT_EQ(ctl.at(name), value) << name;
  }
  EXPECT_EQ(Value(ctl, "keldor_clients_connected"), 1);

  // Every metric the dashboard asks for is there.
  const auto dashboard =
      nlohmann::json::parse(ReadFile(KELDOR_SOURCE_DIR "/packaging/grafana-keldor.json"));
  std::set<std::string> names;
  for (const auto& [name, value] : file) names.insert(name.substr(0, name.find('{')));
  const std::regex metric("keldor_[a-z_]+");
  int asked = 0;
  for (const auto& panel : dashboard["panels"]) {
    for (const auto& target : panel.value("targets", nlohmann::json::array())) {
      const std::string expr = target.value("expr", "");
      for (std::sregex_iterator it(expr.begin(), expr.end(), metric), end; it != end; ++it) {
        EXPECT_TRUE(names.contains(it->str())) << panel["title"] << ": " << it->str();
        ++asked;
      }
    }
  }
  EXPECT_GT(asked, 10);

  // A crash, and the restart behind it, count once each.
  EXPECT_EQ(Sim("crash 3"), "ok");
  file = WaitForFile([this](const Samples& s) {
    return Value(s, "keldor_server_restarts_total") == 1 &&
           Value(s, "keldor_console_connected") == 1;
  });
  EXPECT_EQ(Value(file, "keldor_server_crashes_total"), 1) << Log();
  EXPECT_EQ(Value(file, "keldor_server_restarts_total"), 1) << Log();
  EXPECT_EQ(Value(file, "keldor_server_running"), 1);
  EXPECT_EQ(CountLogged("Server has crashed"), 1);
}

}  // namespace
}  // namespace keldor::e2e
