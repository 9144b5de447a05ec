// keldorctl as an operator meets it: the account and daemon it uses and how
// long it waits, the one command's usage after a mistake, the clients table,
// JSON that holds what the plain output shows, account management through
// the user list under the uploader's rights, and the rights explained.
// Time-stamped watch lines and kicks and map changes checked before they are
// sent are in dispatch_server_test.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kAdmin = 0xFFFFFFFF;

// The text after `label` in keldorctl's output, up to the line end.
std::string After(const std::string& output, const std::string& label) {
  const auto at = output.find(label);
  if (at == std::string::npos) return {};
  const auto end = output.find('\n', at);
  return output.substr(at + label.size(), end - at - label.size());
}

class Keldorctl : public KeldorHarness {
 protected:
  // keldorctl without the harness's --port, for the environment's turn.
  std::pair<int, std::string> RunBare(const std::vector<std::string>& args) {
    Process ctl(BinaryPath("keldorctl"), args, dir_.path(), dir_ / "bare");
    const auto status = ctl.Wait();
    return {status.value_or(-1), ctl.Output()};
  }
  bool LogsIn(const std::string& user, const std::string& password) {
    return RunAs(user, password, {"ping"}).first == 0;
  }
};

TEST_F(Keldorctl, ConnectionSettingsUsageErrorsAndReports) {
  StartKeldor(Account("admin", "secret", kAdmin));
  // The environment names the account and the daemon; options win over it.
  setenv("KELDOR_USER", "ADMIN", 1);
  setenv("KELDOR_PASSWORD", "secret", 1);
  setenv("KELDOR_HOST", "127.0.0.1", 1);
  setenv("KELDOR_PORT", Port().c_str(), 1);
  EXPECT_EQ(RunBare({"ping"}), std::make_pair(0, std::string("pong\n")));
  EXPECT_TRUE(Logged("connected as user ADMIN with access -- admin --."));
  setenv("KELDOR_USER", "admin", 1);
  const ReservedPort nobody;  // bound, never listening
  setenv("KELDOR_PORT", std::to_string(nobody.port()).c_str(), 1);
  EXPECT_TRUE(Says(RunBare({"ping"}), 2, "Couldn't connect to 127.0.0.1:"));
  EXPECT_TRUE(Says(RunBare({"--port", Port(), "ping"}), 0));
  setenv("KELDOR_PORT", "eighty", 1);
  EXPECT_TRUE(Says(RunBare({"ping"}), 1, "KELDOR_PORT=eighty is not a port"));
  unsetenv("KELDOR_PORT");
  setenv("KELDOR_HOST", "no-such-host.invalid", 1);
  EXPECT_TRUE(Says(RunBare({"--host", "127.0.0.1", "--port", Port(), "ping"}), 0));
  unsetenv("KELDOR_HOST");

  // A listener that never answers: the wait ends after --timeout with status 2.
  const int silent = testing::BindLoopback(SOCK_STREAM);
  ASSERT_EQ(listen(silent, 4), 0);
  Process waiting(BinaryPath("keldorctl"),
                  {"--port", std::to_string(testing::LocalPort(silent)), "--timeout", "1", "ping"},
                  dir_.path(), dir_ / "waiting");
  EXPECT_EQ(waiting.Wait(15), 2);
  EXPECT_NE(waiting.Output().find("did not answer in time"), std::string::npos) << waiting.Output();
  close(silent);

  // A usage error shows that command's usage, not the whole help.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"kick", "abc"},
                                             {"map", "change", "hue"},
                                             {"user", "add", "x"},
                                             {"--timeout", "0", "ping"}}) {
    const auto run = RunCtl(args);
    if (args[0] != "--timeout") {
      EXPECT_TRUE(Says(run, 1, "Usage: keldorctl [options] " + args[0] + " "));
    }
    EXPECT_TRUE(Says(run, 1));
    EXPECT_EQ(run.second.find("Commands:"), std::string::npos) << run.second;
  }
  const auto help = RunCtl({"help"});
  EXPECT_TRUE(Says(help, 0, "--timeout <seconds>"));
  EXPECT_TRUE(Says(help, 0, "(default 30)"));

  // The clients table.
  auto [status, output] = RunCtl({"clients"});
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(output.starts_with("Slot  User ")) << output;
  // The last request in local date and time, not the daemon's ctime text.
  EXPECT_TRUE(std::regex_search(
      output, std::regex("\n1 +admin +127\\.0\\.0\\.1:[0-9]+ +Connected +"
                         "([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}|-)\n")))
      << output;
  unsetenv("KELDOR_USER");
  unsetenv("KELDOR_PASSWORD");
}

// The first JSON document in keldorctl's output (notes on stderr may share it).
nlohmann::ordered_json FirstJson(const std::string& output) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with('{') || line.starts_with('[')) return nlohmann::ordered_json::parse(line);
  }
  ADD_FAILURE() << "no JSON in: " << output;
  return {};
}

TEST_F(Keldorctl, JsonOutputHoldsWhatThePlainOutputShows) {
  StartKeldor(Account("admin", "secret", kAdmin));
  const std::vector<std::string> login = {"--user", "admin", "--password", "secret"};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), login.begin(), login.end());
    auto [status, output] = RunCtl(args);
    EXPECT_EQ(status, 0) << output;
    return output;
  };

  // status: one member per labelled line, in the same order: a number where
  // the line shows one, null where it shows an unknown value, else its text;
  // "-- of 32" players (no game server) are an unknown count of a known most.
  const std::string plain = run({"status"});
  const nlohmann::ordered_json status = FirstJson(run({"--json", "status"}));
  ASSERT_TRUE(status.is_object());
  EXPECT_EQ(status.size(), 20u);
  EXPECT_EQ(After(plain, "Players         "), "-- of ??");
  EXPECT_EQ(After(plain, "Server state    "), "Stopped");
  EXPECT_EQ(After(plain, "Console         "), "Disconnected");
  EXPECT_TRUE(status["players"].is_null() && status["max_players"].is_null()) << status;
  std::istringstream lines(plain);
  auto member = status.begin();
  for (std::string line; std::getline(lines, line) && member != status.end(); ++member) {
    if (member.key() == "players") {
      ++member;
      continue;
    }
    const std::string text = line.substr(16);
    if (text == "??" || text.empty()) {
      EXPECT_TRUE(member.value().is_null()) << member.key();
    } else if (member.value().is_number()) {
      EXPECT_EQ(member.value().dump(), text) << member.key();
    } else {
      EXPECT_EQ(member.value(), text) << member.key();
    }
  }
  EXPECT_EQ(member, status.end());
  EXPECT_EQ(status["last_crash"], "never");

  // players: one object per line of the plain list (whatever the game holds now).
  const std::string players = run({"players"});
  EXPECT_TRUE(players.starts_with("name,id,team,score,kills,deaths,ping,address,keyhash,guid\n"))
      << players;
  const nlohmann::ordered_json list = FirstJson(run({"--json", "players"}));
  ASSERT_TRUE(list.is_array());
  EXPECT_EQ(list.size() + 1,
            static_cast<std::size_t>(std::count(players.begin(), players.end(), '\n')));
  for (const auto& player : list) EXPECT_TRUE(player["id"].is_number()) << player;

  const nlohmann::ordered_json users = FirstJson(run({"--json", "user", "list"}));
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0]["name"], "admin");
  EXPECT_EQ(users[0]["mask"], kAdmin);
  EXPECT_EQ(users[0]["enabled"], true);
  // A client that has made a request: its time as epoch seconds and ISO 8601.
  RawClient other(port_);
  ASSERT_TRUE(other.LogIn("admin", "secret"));
  ASSERT_TRUE(other.Pings());
  const nlohmann::ordered_json clients = FirstJson(run({"--json", "clients"}));
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[0]["slot"], 1);
  EXPECT_EQ(clients[0]["user"], "admin");
  EXPECT_TRUE(clients[0]["last_request"].is_number()) << clients;
  EXPECT_TRUE(clients[0]["last_request_iso"].is_string()) << clients;

  // No ban yet: "bans" shows its header; the unknown ban is refused by name.
  EXPECT_TRUE(run({"bans"}).starts_with("Name "));
  auto [refused, noBan] = RunCtl({"--user", "admin", "--password", "secret", "unban", "Ghost"});
  EXPECT_EQ(refused, 4);
  EXPECT_EQ(noBan, "keldorctl: no ban on Ghost\n");
  // A one-time event: local date and time for a person, epoch and ISO 8601 in JSON.
  WriteFile(dir_ / "events", "2000000000,start,none,*,*,1\n");
  run({"put", "schedule", dir_ / "events"});
  const std::string schedule = run({"schedule"});
  EXPECT_NE(schedule.find("\n2033-05-1"), std::string::npos) << schedule;
  EXPECT_EQ(schedule.find("2000000000"), std::string::npos) << schedule;
  const nlohmann::ordered_json events = FirstJson(run({"--json", "schedule"}));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["time"], 2000000000);
  EXPECT_EQ(events[0]["time_iso"], "2033-05-18T03:33:20Z");
  EXPECT_TRUE(events[0]["settings"].is_null());

  // "none" turns the idle map off, as the help says.
  EXPECT_EQ(run({"map", "idle", "none"}), "There is no idle map now.\n");

  // keldorctl names the release that Keldor's first log line names.
  auto [status2, version] = RunBare({"--version"});
  EXPECT_EQ(status2, 0);
  ASSERT_TRUE(version.starts_with("keldorctl v")) << version;
  EXPECT_TRUE(Logged("Keldor " + version.substr(10, version.size() - 11))) << version << Log();
}

TEST_F(Keldorctl, AccountsAreManagedThroughTheUserListUnderTheUploadersRights) {
  constexpr std::uint32_t kKeeper = 0x200 | 0x20 | 0x40 | 0x80;  // U, T, M and P
  StartKeldor(Account("admin", "secret", kAdmin) + Account("keeper", "pw", kKeeper) +
              Account("deputy", "pw", 0x3FFFF));
  const auto admin = [&](const std::vector<std::string>& args) {
    return RunAs("admin", "secret", args);
  };

  auto [status, output] = admin({"user", "add", "bob", "SGPB", "--generate"});
  ASSERT_EQ(status, 0) << output << Log();
  EXPECT_TRUE(output.starts_with("Added the account bob with the rights SGfiatmPBuhc (0x00000183)"))
      << output;
  const std::string password = After(output, "Its password: ");
  ASSERT_EQ(password.size(), 12u) << output;
  EXPECT_TRUE(LogsIn("bob", password));
  EXPECT_TRUE(Logged("User admin at 127.0.0.1:"));
  EXPECT_TRUE(Logged("added user account bob."));

  setenv("KELDOR_NEW_PASSWORD", "dave-pw", 1);
  EXPECT_TRUE(Says(admin({"user", "add", "dave", "0x20"}), 0));
  unsetenv("KELDOR_NEW_PASSWORD");
  EXPECT_TRUE(LogsIn("dave", "dave-pw"));

  EXPECT_EQ(admin({"user", "rights", "BOB", "sgfiaTMpbuhc"}),
            std::make_pair(0, std::string("The account bob now has the rights sgfiaTMpbuhc "
                                          "(0x00000060).\n")));
  EXPECT_EQ(admin({"user", "disable", "bob"}).second, "The account bob is disabled.\n");
  EXPECT_FALSE(LogsIn("bob", password));
  std::tie(status, output) = admin({"user", "list"});
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(output.starts_with("Name ")) << output;
  EXPECT_TRUE(
      std::regex_search(output, std::regex("\nbob +sgfiaTMpbuhc \\(0x00000060\\) +disabled +-\n")))
      << output;
  EXPECT_NE(output.find("-- admin -- (0xFFFFFFFF)"), std::string::npos) << output;
  EXPECT_EQ(admin({"user", "enable", "bob"}).first, 0);
  EXPECT_TRUE(LogsIn("bob", password));
  EXPECT_TRUE(Logged("connected as user bob with access sgfiaTMpbuhc."));

  // Refusals, each with its reason and status; nothing changes.
  struct Refusal {
    std::string user;
    std::vector<std::string> args;
    int status;
    std::string reason;
  };
  const std::vector<Refusal> refusals = {
      {"admin", {"user", "add", "Bob", "T", "--generate"}, 4, "exists already"},
      {"admin", {"user", "remove", "nobody"}, 4, "no such account: nobody"},
      {"admin", {"user", "remove", "admin"}, 3, "may not remove itself"},
      {"keeper", {"user", "add", "eve", "admin", "--generate"}, 3, "grant rights it lacks"},
      {"keeper", {"user", "rights", "admin", "T"}, 4, "no such account: admin"},
      {"keeper", {"user", "disable", "keeper"}, 3, "may not disable itself"},
      {"deputy", {"user", "remove", "admin"}, 4, "no such account: admin"},
      {"dave", {"user", "list"}, 3, "did not carry out the request"},
      {"admin", {"user", "add", "eve", "sgpb", "--generate"}, 1, "grant nothing"},
      {"admin", {"user", "rights", "bob", "XYZ"}, 1, "not a set of rights"},
      {"admin", {"user", "add", "eve", "T", "--keyhash", "abc"}, 1, "32 hexadecimal digits"},
  };
  const std::string before = ReadFile(SettingsPath("useraccess.con"));
  for (const Refusal& r : refusals) {
    const std::string secret = r.user == "admin" ? "secret" : r.user == "dave" ? "dave-pw" : "pw";
    EXPECT_TRUE(Says(RunAs(r.user, secret, r.args), r.status, r.reason)) << r.user;
  }
  EXPECT_EQ(ReadFile(SettingsPath("useraccess.con")), before);
  // Every right with a letter or a bit neither makes an administrator nor sees
  // one, whose enciphered password the user list would otherwise hand over.
  const int alerts = CountLogged("SECURITY ALERT! User deputy at 127.0.0.1");
  EXPECT_NE(RunAs("deputy", "pw", {"user", "add", "boss", "4294967295", "--generate"}).first, 0);
  EXPECT_GT(CountLogged("SECURITY ALERT! User deputy at 127.0.0.1"), alerts) << Log();
  const auto [listed, users] = RunAs("deputy", "pw", {"user", "list"});
  EXPECT_EQ(listed, 0) << users;
  EXPECT_EQ(users.find("admin"), std::string::npos) << users;
  EXPECT_NE(users.find("keeper"), std::string::npos) << users;
  EXPECT_EQ(admin({"user", "list"}).second.find("boss"), std::string::npos);

  // A lesser account manages what lies within its rights.
  EXPECT_EQ(RunAs("keeper", "pw", {"user", "remove", "bob"}),
            std::make_pair(0, std::string("Removed the account bob.\n")));
  EXPECT_FALSE(LogsIn("bob", password));
  EXPECT_TRUE(Logged("User keeper at 127.0.0.1:"));
  EXPECT_TRUE(Logged("deleted user account bob."));
  EXPECT_TRUE(LogsIn("admin", "secret"));
}

// The rights table comes without a connection; each command's help and each
// refusal names the right in words, and `rights` marks the account's own.
TEST_F(Keldorctl, RightsAreExplainedAndRefusalsNameTheMissingRight) {
  const std::string server = "0x1000 (start, stop and pause the game server)";
  const auto table = RunCtl({"help", "rights"});
  for (const char* row :
       {"\n  M        maps\n", "\n  0x1000   start, stop and pause the game server\n",
        "Requests: REQ_GET_BANS, REQ_PUT_BANS, REQ_BAN_PLAYER,"}) {
    EXPECT_TRUE(Says(table, 0, row));
  }
  EXPECT_TRUE(Says(RunCtl({"help", "start"}), 0, "Needs the right " + server + "."));
  EXPECT_TRUE(Says(RunCtl({"help", "ban"}), 0, "Needs the right P (players) or B (bans)."));

  StartKeldor(Account("mapper", "pw", 0x40 | 0x20));  // M and T
  const auto own = RunAs("mapper", "pw", {"rights"});
  EXPECT_TRUE(Says(own, 0, "\n* M        maps\n"));
  EXPECT_TRUE(Says(own, 0, "\n  B        bans\n"));
  // A file request and a request Keldor answers with a notification.
  EXPECT_TRUE(Says(RunAs("mapper", "pw", {"get", "bans"}), 3,
                   "it needs the right B (bans), which this account lacks"));
  EXPECT_TRUE(Says(RunAs("mapper", "pw", {"stop"}), 3, "it needs the right " + server));
}

}  // namespace
}  // namespace keldor::e2e
