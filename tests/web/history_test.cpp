// The web console's memory of the last 24 hours: one sample per step however
// many pages refresh, the cut at 24 hours and at the ring's size, events in
// the order they came with the copies every session receives merged (but not
// a repeat that one session hears twice), and the cap on endpoints.
#include "history.h"

#include <gtest/gtest.h>

#include "wire/protocol.h"

namespace keldorweb {
namespace {

using nlohmann::json;
using std::chrono::seconds;

constexpr const char* kHere = "127.0.0.1:15667";

History::Sample Players(int n) {
  return History::Sample{n, 16, History::State::kRunning, "hue GPM_CQ bfvietnam"};
}

TEST(WebHistory, OneSamplePerStepAndTheRingKeepsOnlyTheLastDay) {
  History history;
  const TimePoint start;
  std::time_t wall = 1'700'000'000;
  history.AddSample(kHere, Players(1), start, wall);
  EXPECT_FALSE(history.Due(kHere, start + seconds(29)));
  history.AddSample(kHere, Players(2), start + seconds(29), wall + 29);  // too soon: dropped
  EXPECT_TRUE(history.Due(kHere, start + History::kStep));
  EXPECT_TRUE(history.Due("other:1", start)) << "each endpoint has its own step";

  json data = history.Json(kHere, start + seconds(29));
  ASSERT_EQ(data["samples"].size(), 1U);
  EXPECT_EQ(data["samples"][0][1], 1);

  // A day and a bit at the step: the ring holds exactly a day.
  TimePoint at = start;
  for (std::size_t k = 1; k <= History::kMaxSamples + 10; ++k) {
    at = start + History::kStep * k;
    history.AddSample(kHere, Players(static_cast<int>(k % 50)), at, wall + 30 * k);
  }
  data = history.Json(kHere, at);
  const json& samples = data["samples"];
  ASSERT_LE(samples.size(), History::kMaxSamples);
  EXPECT_GE(samples.size(), History::kMaxSamples - 1);
  EXPECT_GE(samples.front()[0].get<std::time_t>(), wall + 30 * 10);
  EXPECT_EQ(samples.back()[0].get<std::time_t>(), wall + 30 * (History::kMaxSamples + 10));

  // Nothing fed for a day: what is shown is cut by age, not by count.
  EXPECT_TRUE(history.Json(kHere, at + History::kSpan + seconds(1))["samples"].empty());
}

TEST(WebHistory, MapIsSentOnlyWhereItChangesAndUnknownCountsAreNull) {
  History history;
  const TimePoint start;
  history.AddSample(kHere, Players(3), start, 100);
  history.AddSample(kHere, Players(4), start + History::kStep, 130);
  History::Sample other{-1, -1, History::State::kDown, std::string(300, 'm')};
  history.AddSample(kHere, other, start + History::kStep * 2, 160);
  const json samples = history.Json(kHere, start + History::kStep * 2)["samples"];
  ASSERT_EQ(samples.size(), 3U);
  EXPECT_EQ(samples[0], json({100, 3, 16, "running", "hue GPM_CQ bfvietnam"}));
  EXPECT_EQ(samples[1], json({130, 4, 16, "running"}));
  EXPECT_EQ(samples[2][1], nullptr);
  EXPECT_EQ(samples[2][3], "down");
  EXPECT_EQ(samples[2][4].get<std::string>().size(), History::kMaxMapText);
}

TEST(WebHistory, EventsKeepTheirOrderAndEachSessionsCopyIsMergedIntoOne) {
  History history;
  const TimePoint start;
  const auto note = [&](std::uint32_t code, std::uint32_t page, int at, const char* text = "") {
    history.AddNote(kHere, code, text, page, start + seconds(at), 1000 + at);
  };
  // Three pages on the same Keldor each hear of the crash, one of them late.
  note(keldor::NOTE_SERVER_CRASHED, 1, 0);
  note(keldor::NOTE_SERVER_CRASHED, 2, 0);
  note(keldor::NOTE_SERVER_STARTED, 1, 2);
  note(keldor::NOTE_SERVER_STARTED, 2, 2);
  note(keldor::NOTE_SERVER_CRASHED, 3, 9);
  note(keldor::NOTE_SERVER_STARTED, 3, 9);
  note(keldor::NOTE_CHAT_SENT, 1, 10, "hello");  // no event
  note(keldor::NOTE_MAP_CHANGED, 1, 11, "kontum GPM_CQ bfvietnam");
  note(keldor::NOTE_SERVER_STOPPED, 1, 12);
  // Started again soon after: the same page hears it twice, so it happened twice.
  note(keldor::NOTE_SERVER_STARTED, 1, 13);
  note(keldor::NOTE_SERVER_STARTED, 2, 13);
  note(keldor::NOTE_SERVER_STARTED, 3, 14);

  const json events = history.Json(kHere, start + seconds(60))["events"];
  std::vector<std::string> kinds;
  for (const json& e : events) kinds.push_back(e["kind"]);
  EXPECT_EQ(kinds, (std::vector<std::string>{"crash", "start", "map", "stop", "start"}));
  EXPECT_EQ(events[0]["time"], 1000);
  EXPECT_EQ(events[2]["text"], "The map changed to kontum GPM_CQ bfvietnam");
  EXPECT_EQ(events[4]["time"], 1013);

  // The ring of events is bounded and cut at a day, oldest first.
  for (std::size_t k = 0; k < History::kMaxEvents + 5; ++k) {
    history.AddNote(kHere, keldor::NOTE_MAP_CHANGED, "map" + std::to_string(k), 1,
                    start + seconds(100 + static_cast<int>(k)), 2000);
  }
  const json many = history.Json(kHere, start + seconds(400))["events"];
  ASSERT_EQ(many.size(), History::kMaxEvents);
  EXPECT_EQ(many.back()["text"],
            "The map changed to map" + std::to_string(History::kMaxEvents + 4));
  EXPECT_TRUE(history.Json(kHere, start + History::kSpan + seconds(400))["events"].empty());
}

TEST(WebHistory, EndpointsAreCappedAndTheStalestMakesRoom) {
  History history;
  const TimePoint start;
  for (std::size_t k = 0; k < History::kMaxEndpoints; ++k) {
    history.AddSample("host" + std::to_string(k) + ":1", Players(1), start + seconds(k), 1);
  }
  // host0 is fed again, so host1 is the stalest when one more comes.
  history.AddNote("host0:1", keldor::NOTE_SERVER_STOPPED, "", 1, start + seconds(100), 2);
  history.AddSample("newcomer:1", Players(1), start + seconds(101), 3);
  EXPECT_EQ(history.Endpoints(), History::kMaxEndpoints);
  EXPECT_TRUE(history.Json("host1:1", start + seconds(101))["samples"].empty());
  EXPECT_EQ(history.Json("host0:1", start + seconds(101))["samples"].size(), 1U);
  EXPECT_EQ(history.Json("newcomer:1", start + seconds(101))["samples"].size(), 1U);
  EXPECT_TRUE(history.Json("never:1", start)["samples"].empty());
}

TEST(WebHistory, StatusFieldsBecomeASampleAndOddValuesStayUnknown) {
  const auto status = [](const char* players, const char* state) {
    return json::array({{{"key", "players"}, {"label", "Players"}, {"value", players}},
                        {{"key", "current_map"}, {"label", "Current map"}, {"value", "hue"}},
                        {{"key", "server_state"}, {"label", "Server state"}, {"value", state}}});
  };
  struct Case {
    const char* players;
    const char* state;
    int count, max;
    History::State expected;
  } cases[] = {
      {"5 of 32", "Started (running)", 5, 32, History::State::kRunning},
      {"-- of 32", "Started ", -1, 32, History::State::kDown},
      {"0 of 16", "Stopped ", 0, 16, History::State::kStopped},
      {"99999999999 of x", "weird", -1, -1, History::State::kUnknown},
      {"-3 of 16", "Stopped (running)", -1, 16, History::State::kRunning},
  };
  for (const Case& c : cases) {
    History::Sample sample;
    ASSERT_TRUE(SampleFromStatus(status(c.players, c.state), &sample)) << c.players;
    EXPECT_EQ(sample.players, c.count) << c.players;
    EXPECT_EQ(sample.maxPlayers, c.max) << c.players;
    EXPECT_EQ(sample.state, c.expected) << c.state;
    EXPECT_EQ(sample.map, "hue");
  }
  History::Sample sample;
  EXPECT_FALSE(SampleFromStatus(json::object(), &sample));
  EXPECT_FALSE(SampleFromStatus(json::array({1, "x", json::array()}), &sample));
}

}  // namespace
}  // namespace keldorweb
