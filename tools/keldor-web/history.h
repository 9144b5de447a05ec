// The last 24 hours of each Keldor the console's sessions talk to: players,
// the game server's state and map, sampled from the status the pages refresh
// anyway, and the starts, stops, crashes and map changes Keldor announces.
// keldor-web opens no connection and keeps no password for this: an endpoint
// no page looks at has a gap in its history.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "security.h"

namespace keldorweb {

class History {
 public:
  static constexpr std::chrono::hours kSpan{24};
  // At most one sample per endpoint this often, however many pages refresh.
  static constexpr std::chrono::seconds kStep{30};
  static constexpr std::size_t kMaxSamples = 24 * 3600 / 30;  // kSpan at kStep
  static constexpr std::size_t kMaxEvents = 256;              // per endpoint
  static constexpr std::size_t kMaxEndpoints = 16;  // as many as sessions; the stalest goes
  static constexpr std::size_t kMaxMapText = 64;
  static constexpr std::size_t kMaxEventText = 96;
  // The same announcement reaches every session on an endpoint, each on its
  // own thread and some late (a session waiting on a slow answer): a copy
  // from a session that has not reported the event yet, within this long,
  // is that event. A session reporting it again is a new one.
  static constexpr std::chrono::seconds kEventMerge{30};
  static constexpr std::size_t kMaxReporters = 2 * kMaxSessions;

  enum class State : std::uint8_t { kUnknown, kRunning, kDown, kStopped };
  enum class Kind : std::uint8_t { kStart, kStop, kCrash, kHang, kMap };

  struct Sample {
    int players = -1;  // -1: unknown (the game's console is not connected)
    int maxPlayers = -1;
    State state = State::kUnknown;
    std::string map;
  };

  // Whether a status seen for `endpoint` now would be kept: the caller reads
  // the status only then.
  bool Due(const std::string& endpoint, TimePoint now) const;
  void AddSample(const std::string& endpoint, const Sample& sample, TimePoint now,
                 std::time_t wall);
  // One of Keldor's notifications; those that are no event are ignored.
  // `reporter` tells the sessions apart.
  void AddNote(const std::string& endpoint, std::uint32_t code, const std::string& text,
               std::uint32_t reporter, TimePoint now, std::time_t wall);

  // The page's data for `endpoint`, with times as epoch seconds:
  // {"step", "samples": [[time, players, max, state], ...], where a sample
  // whose map differs from the one before carries it as a fifth element,
  // "events": [{"time", "kind", "text"}, ...]}, both oldest first.
  nlohmann::json Json(const std::string& endpoint, TimePoint now) const;

  std::size_t Endpoints() const { return endpoints_.size(); }

 private:
  struct StoredSample {
    TimePoint at;
    std::time_t wall;
    std::int16_t players, maxPlayers;
    State state;
    std::shared_ptr<const std::string> map;  // shared with the samples before while it holds
  };
  struct Event {
    TimePoint at;
    std::time_t wall;
    Kind kind;
    std::string text;
    std::vector<std::uint32_t> reporters;  // at most kMaxReporters
  };
  struct Endpoint {
    std::string name;
    TimePoint lastTouched{};
    std::deque<StoredSample> samples;
    std::deque<Event> events;
  };
  const Endpoint* Find(const std::string& name) const;
  Endpoint& FindOrMake(const std::string& name, TimePoint now);
  static void Trim(Endpoint& endpoint, TimePoint now);

  std::vector<Endpoint> endpoints_;
};

// A sample from the status op's fields ({"key", "label", "value"} objects);
// false when they are not the status.
bool SampleFromStatus(const nlohmann::json& fields, History::Sample* sample);

const char* StateName(History::State state);
const char* KindName(History::Kind kind);

}  // namespace keldorweb
