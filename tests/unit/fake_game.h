// A game for the player table and policing tests: a connected fake console that
// lists the test's players and prints the test's PunkBuster lines, and a fake
// status port that reports the same players, each figure set by the test.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "fake_console.h"
#include "fake_status.h"
#include "gamelink/console.h"
#include "gamelink/status_query.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor::testing {

struct SimPlayer {
  int id = 0;
  std::string name;
  int team = 1;
  int score = 0;
  int ping = 50;
  std::string hash = "0123456789ABCDEF0123456789ABCDEF";  // empty: the line has none
  bool listed = true;                                     // on the console's player list
  bool inStatus = true;                                   // has a status position
};

class GameTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    PinClock(1700000000);
    Opts().settingsDir = dir_ / "settings";
    StatusReplyBuffer().assign(kStatusReplySize, '\0');
    auto shared = shared_;
    console_.SetResponder([shared](const fake::ConsoleRequest& request) {
      std::lock_guard<std::mutex> lock(shared->mutex);
      if (request.IsOutputRequest()) {
        std::vector<std::string> out = {">"};
        out.insert(out.end(), shared->output.begin(), shared->output.end());
        shared->output.clear();
        return fake::Reply(out);
      }
      const std::vector<std::string> lines = request.Lines();
      shared->commands.insert(shared->commands.end(), lines.begin(), lines.end());
      if (!lines.empty() && lines[0] == "game.listPlayers") return fake::Reply(shared->list);
      return fake::Reply({});
    });
    console_.PrepareKeldor();
    ASSERT_TRUE(ConnectConsole());
    Row(Setting::ServerInternet).current = 0;
    Row(Setting::GameSpyLANPort).current = status_.port();
    Row(Setting::ServerPort).current = 15567;
    status_.AnswerInfo({"hostport", "15567"});
    ASSERT_TRUE(FindStatusPort());
  }

  // The console lists the players (and `extraLines` after them); the status
  // reply gives each player with a status position its figures, then `info`.
  void SetGame(const std::vector<SimPlayer>& players, const std::vector<std::string>& info = {},
               const std::vector<std::string>& extraLines = {}) {
    std::vector<std::string> list;
    // The first of two equal keys counts: `info` can overrule the players' count.
    std::vector<std::string> pairs = {"hostport", "15567"};
    pairs.insert(pairs.end(), info.begin(), info.end());
    int position = 0;
    for (const SimPlayer& p : players) {
      if (p.listed) {
        std::string line = "Id:" + std::to_string(p.id) + " - " + p.name +
                           " is remote ip: 10.0.0." + std::to_string(p.id) + ":2000";
        if (!p.hash.empty()) line += " hash:" + p.hash;
        list.push_back(line);
      }
      if (!p.inStatus) continue;
      const std::string i = std::to_string(position++);
      const std::string keys[] = {"player_", "team_", "score_",  "kills_",
                                  "deaths_", "ping_", "keyhash_"};
      const std::string values[] = {
          p.name, std::to_string(p.team), std::to_string(p.score), "3", "4", std::to_string(p.ping),
          p.hash};
      for (int k = 0; k < 7; ++k) {
        if (!values[k].empty()) pairs.insert(pairs.end(), {keys[k] + i, values[k]});
      }
    }
    list.insert(list.end(), extraLines.begin(), extraLines.end());
    pairs.insert(pairs.end(), {"numplayers", std::to_string(position)});
    status_.AnswerInfo(pairs);
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->list = list;
  }
  // What the console prints with the next output request.
  void SetOutput(const std::vector<std::string>& lines) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->output = lines;
  }
  // The console commands received so far, and forgets them.
  std::vector<std::string> TakeCommands() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return std::exchange(shared_->commands, {});
  }

  // The commands `operation` sends after its game.listPlayers; it must succeed.
  std::vector<std::string> CommandsOf(bool (*operation)()) {
    TakeCommands();
    EXPECT_TRUE(operation());
    std::vector<std::string> sent = TakeCommands();
    if (!sent.empty()) sent.erase(sent.begin());
    return sent;
  }

  struct Shared {
    std::mutex mutex;
    std::vector<std::string> list, output, commands;
  };
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  fake::FakeConsole console_;
  fake::FakeStatusServer status_;
};

}  // namespace keldor::testing
