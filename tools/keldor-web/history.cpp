#include "history.h"

#include <algorithm>
#include <charconv>

#include "wire/protocol.h"

namespace keldorweb {

using nlohmann::json;

namespace {

// A player count as Keldor writes it; -1 for anything else ("--", "[unknown]").
int Count(std::string_view text) {
  constexpr int kMaxCount = 9999;
  int value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return -1;
  return std::min(value, kMaxCount);
}

std::string Cut(const std::string& text, std::size_t width) {
  if (text.size() <= width) return text;
  std::size_t end = width;
  // Not inside a UTF-8 sequence.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

struct NoteEvent {
  std::uint32_t code;
  History::Kind kind;
  const char* text;  // the subject, when the note has one, follows it
};
constexpr NoteEvent kNoteEvents[] = {
    {keldor::NOTE_SERVER_STARTED, History::Kind::kStart, "The game server started"},
    {keldor::NOTE_SERVER_STOPPED, History::Kind::kStop, "The game server stopped"},
    {keldor::NOTE_SERVER_CRASHED, History::Kind::kCrash, "The game server crashed"},
    {keldor::NOTE_SERVER_HUNG, History::Kind::kHang, "The game server stopped answering"},
    {keldor::NOTE_MAP_CHANGED, History::Kind::kMap, "The map changed to"},
    {keldor::NOTE_NEXT_MAP_RUN, History::Kind::kMap, "The next map was started"},
    {keldor::NOTE_MAP_RESTARTED, History::Kind::kMap, "The map was restarted"},
};

}  // namespace

const char* StateName(History::State state) {
  switch (state) {
    case History::State::kRunning:
      return "running";
    case History::State::kDown:
      return "down";
    case History::State::kStopped:
      return "stopped";
    case History::State::kUnknown:
      break;
  }
  return "unknown";
}

const char* KindName(History::Kind kind) {
  switch (kind) {
    case History::Kind::kStart:
      return "start";
    case History::Kind::kStop:
      return "stop";
    case History::Kind::kCrash:
      return "crash";
    case History::Kind::kHang:
      return "hang";
    case History::Kind::kMap:
      return "map";
  }
  return "";
}

bool SampleFromStatus(const json& fields, History::Sample* sample) {
  if (!fields.is_array()) return false;
  bool seen = false;
  for (const json& field : fields) {
    if (!field.is_object()) continue;
    const auto key = field.find("key"), value = field.find("value");
    if (key == field.end() || value == field.end() || !key->is_string() || !value->is_string()) {
      continue;
    }
    const std::string& name = key->get_ref<const std::string&>();
    const std::string& text = value->get_ref<const std::string&>();
    if (name == "players") {
      // "15 of 32"; "-- of 32" while the game's console is not connected.
      const std::size_t of = text.find(" of ");
      sample->players = Count(std::string_view(text).substr(0, of));
      sample->maxPlayers =
          of == std::string::npos ? -1 : Count(std::string_view(text).substr(of + 4));
      seen = true;
    } else if (name == "server_state") {
      // "Started (running)"; "Started " when Keldor expects a server that is
      // not there (crashed, or not yet back); "Stopped ..." when it watches none.
      if (text.find("(running)") != std::string::npos) {
        sample->state = History::State::kRunning;
      } else if (text.starts_with("Started")) {
        sample->state = History::State::kDown;
      } else if (text.starts_with("Stopped")) {
        sample->state = History::State::kStopped;
      }
    } else if (name == "current_map") {
      sample->map = Cut(text, History::kMaxMapText);
    }
  }
  return seen;
}

const History::Endpoint* History::Find(const std::string& name) const {
  for (const Endpoint& endpoint : endpoints_) {
    if (endpoint.name == name) return &endpoint;
  }
  return nullptr;
}

History::Endpoint& History::FindOrMake(const std::string& name, TimePoint now) {
  for (Endpoint& endpoint : endpoints_) {
    if (endpoint.name == name) {
      endpoint.lastTouched = now;
      return endpoint;
    }
  }
  if (endpoints_.size() >= kMaxEndpoints) {
    // The one no page has fed for longest makes room.
    auto stalest = std::min_element(
        endpoints_.begin(), endpoints_.end(),
        [](const Endpoint& a, const Endpoint& b) { return a.lastTouched < b.lastTouched; });
    endpoints_.erase(stalest);
  }
  endpoints_.push_back(Endpoint{name, now, {}, {}});
  return endpoints_.back();
}

void History::Trim(Endpoint& endpoint, TimePoint now) {
  while (!endpoint.samples.empty() &&
         (endpoint.samples.size() > kMaxSamples || now - endpoint.samples.front().at > kSpan)) {
    endpoint.samples.pop_front();
  }
  while (!endpoint.events.empty() &&
         (endpoint.events.size() > kMaxEvents || now - endpoint.events.front().at > kSpan)) {
    endpoint.events.pop_front();
  }
}

bool History::Due(const std::string& endpoint, TimePoint now) const {
  const Endpoint* found = Find(endpoint);
  return found == nullptr || found->samples.empty() || now - found->samples.back().at >= kStep;
}

void History::AddSample(const std::string& name, const Sample& sample, TimePoint now,
                        std::time_t wall) {
  if (!Due(name, now)) return;
  Endpoint& endpoint = FindOrMake(name, now);
  const std::string map = Cut(sample.map, kMaxMapText);
  std::shared_ptr<const std::string> shared;
  if (!endpoint.samples.empty() && *endpoint.samples.back().map == map) {
    shared = endpoint.samples.back().map;
  } else {
    shared = std::make_shared<const std::string>(map);
  }
  const auto count = [](int n) { return static_cast<std::int16_t>(std::clamp(n, -1, 9999)); };
  endpoint.samples.push_back(StoredSample{now, wall, count(sample.players),
                                          count(sample.maxPlayers), sample.state, shared});
  Trim(endpoint, now);
}

void History::AddNote(const std::string& name, std::uint32_t code, const std::string& subject,
                      std::uint32_t reporter, TimePoint now, std::time_t wall) {
  const auto found = std::find_if(std::begin(kNoteEvents), std::end(kNoteEvents),
                                  [code](const NoteEvent& e) { return e.code == code; });
  if (found == std::end(kNoteEvents)) return;
  std::string text = found->text;
  if (code == keldor::NOTE_MAP_CHANGED) text += " " + (subject.empty() ? "another" : subject);
  text = Cut(text, kMaxEventText);
  Endpoint& endpoint = FindOrMake(name, now);
  // The oldest copy this session has not reported yet is the one it hears of.
  Event* copy = nullptr;
  for (auto e = endpoint.events.rbegin(); e != endpoint.events.rend(); ++e) {
    if (now - e->at > kEventMerge) break;
    if (e->kind != found->kind || e->text != text) continue;
    if (std::find(e->reporters.begin(), e->reporters.end(), reporter) != e->reporters.end()) break;
    copy = &*e;
  }
  if (copy != nullptr) {
    if (copy->reporters.size() < kMaxReporters) copy->reporters.push_back(reporter);
    return;
  }
  endpoint.events.push_back(Event{now, wall, found->kind, std::move(text), {reporter}});
  Trim(endpoint, now);
}

json History::Json(const std::string& name, TimePoint now) const {
  json samples = json::array(), events = json::array();
  if (const Endpoint* endpoint = Find(name)) {
    const std::string* lastMap = nullptr;
    for (const StoredSample& s : endpoint->samples) {
      if (now - s.at > kSpan) continue;
      json row = {s.wall, s.players < 0 ? json() : json(s.players),
                  s.maxPlayers < 0 ? json() : json(s.maxPlayers), StateName(s.state)};
      if (lastMap == nullptr || *lastMap != *s.map) row.push_back(*s.map);
      lastMap = s.map.get();
      samples.push_back(std::move(row));
    }
    for (const Event& e : endpoint->events) {
      if (now - e.at > kSpan) continue;
      events.push_back({{"time", e.wall}, {"kind", KindName(e.kind)}, {"text", e.text}});
    }
  }
  return {{"step", kStep.count()}, {"samples", samples}, {"events", events}};
}

}  // namespace keldorweb
