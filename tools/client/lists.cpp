// Reading Keldor's texts and lists; everything from the wire is taken as
// untrusted: a line that does not parse is skipped, never guessed at.
#include "lists.h"

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace keldorclient {

const char* const kStatusKeys[kStatusFields] = {
    "server_name",  "address",      "players",        "current_map",   "current_level",
    "idle_map",     "server_state", "last_crash",     "console",       "game_mode",
    "game_version", "password",     "team_kill_mode", "content_check", "team_scores",
    "team_sizes",   "round_time",   "tickets",        "punkbuster",
};
const char* const kStatusLabels[kStatusFields] = {
    "Server name",  "Address",      "Players",        "Current map",   "Current level",
    "Idle map",     "Server state", "Last crash",     "Console",       "Game mode",
    "Game version", "Password",     "Team-kill mode", "Content check", "Team scores",
    "Team sizes",   "Round time",   "Tickets",        "PunkBuster",
};

std::vector<std::string> Lines(const std::string& content) {
  std::vector<std::string> lines;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

bool SplitListLine(std::string line, std::size_t count, std::string* name,
                   std::vector<std::string>* fields) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  fields->assign(count, "");
  for (std::size_t k = count; k > 0; --k) {
    const std::size_t comma = line.rfind(',');
    if (comma == std::string::npos) return false;
    (*fields)[k - 1] = line.substr(comma + 1);
    line.erase(comma);
  }
  if (line.size() < 2 || line.front() != '"' || line.back() != '"') return false;
  *name = line.substr(1, line.size() - 2);
  return true;
}

namespace {

// Keldor writes the time of the last crash as ctime text, and time 0 when there
// has been none: the first of January 1970, or the last day of 1969 west of
// Greenwich.
bool IsTimeZero(const std::string& text) {
  std::tm when{};
  const char* end = strptime(text.c_str(), "%a %b %d %H:%M:%S %Y", &when);
  if (end == nullptr) return false;
  return (when.tm_year == 70 && when.tm_mon == 0 && when.tm_mday == 1) ||
         (when.tm_year == 69 && when.tm_mon == 11 && when.tm_mday == 31);
}

}  // namespace

// The status text is 19 comma-terminated fields; the server name is quoted and
// the PunkBuster field may carry commas of its own, so it takes the rest.
std::vector<std::string> SplitStatus(const std::string& text) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  if (text.starts_with('"')) {
    const std::size_t end = text.find("\",", 1);
    if (end != std::string::npos) {
      fields.push_back(text.substr(1, end - 1));
      at = end + 2;
    }
  }
  while (fields.size() + 1 < kStatusFields && at < text.size()) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    fields.push_back(text.substr(at, comma - at));
    at = comma + 1;
  }
  if (at < text.size()) {
    std::string rest = text.substr(at);
    while (rest.ends_with(',')) rest.pop_back();
    fields.push_back(rest);
  }
  for (std::string& f : fields) {
    while (!f.empty() && std::isspace(static_cast<unsigned char>(f.back()))) f.pop_back();
  }
  constexpr std::size_t kLastCrash = 7;
  if (fields.size() > kLastCrash && IsTimeZero(fields[kLastCrash])) fields[kLastCrash] = "never";
  return fields;
}

bool IsUnknown(const std::string& text) {
  return text.empty() || text == "*" || text == "[unknown]" || text == "??" || text == "--";
}

nlohmann::ordered_json TextOrNull(const std::string& text) {
  return IsUnknown(text) ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

nlohmann::ordered_json NumberOrNull(const std::string& text) {
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') return nullptr;
  return value;
}

nlohmann::ordered_json ValueOf(const std::string& text) {
  if (IsUnknown(text)) return nullptr;
  const nlohmann::ordered_json number = NumberOrNull(text);
  return number.is_null() ? nlohmann::ordered_json(text) : number;
}

nlohmann::ordered_json StatusJson(const std::vector<std::string>& fields) {
  constexpr std::size_t kPlayers = 2;
  nlohmann::ordered_json status = nlohmann::ordered_json::object();
  if (fields.empty()) return status;
  status[kStatusKeys[0]] = fields[0];  // a server's name is text even when it is all digits
  for (std::size_t k = 1; k < fields.size() && k < kStatusFields; ++k) {
    const std::size_t of = fields[k].find(" of ");
    if (k == kPlayers && of != std::string::npos) {
      status["players"] = NumberOrNull(fields[k].substr(0, of));
      status["max_players"] = NumberOrNull(fields[k].substr(of + 4));
      continue;
    }
    status[kStatusKeys[k]] = ValueOf(fields[k]);
  }
  return status;
}

bool ParseCtime(const std::string& text, std::time_t* when) {
  std::tm parts{};
  if (strptime(text.c_str(), "%a %b %d %H:%M:%S %Y", &parts) == nullptr) return false;
  parts.tm_isdst = -1;
  *when = std::mktime(&parts);
  return *when != static_cast<std::time_t>(-1);
}

std::string LocalTimeText(std::time_t when) {
  std::tm parts{};
  char text[32] = "";
  if (localtime_r(&when, &parts) == nullptr) return std::to_string(when);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

std::string IsoTime(std::time_t when) {
  std::tm parts{};
  char text[32] = "";
  if (gmtime_r(&when, &parts) == nullptr) return std::to_string(when);
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

nlohmann::ordered_json PlayersJson(const std::string& content) {
  nlohmann::ordered_json players = nlohmann::ordered_json::array();
  std::string name;
  std::vector<std::string> f;
  for (const std::string& line : Lines(content)) {
    if (!SplitListLine(line, 9, &name, &f)) continue;
    players.push_back({{"name", name},
                       {"id", NumberOrNull(f[0])},
                       {"team", ValueOf(f[1])},
                       {"score", NumberOrNull(f[2])},
                       {"kills", NumberOrNull(f[3])},
                       {"deaths", NumberOrNull(f[4])},
                       {"ping", NumberOrNull(f[5])},
                       {"address", TextOrNull(f[6])},
                       {"keyhash", TextOrNull(f[7])},
                       {"guid", TextOrNull(f[8])}});
  }
  return players;
}

namespace {

// Takes a double-quoted text at `at`, leaving `at` behind its closing quote.
bool TakeQuoted(const std::string& line, std::size_t* at, std::string* text) {
  if (*at >= line.size() || line[*at] != '"') return false;
  const std::size_t end = line.find('"', *at + 1);
  if (end == std::string::npos) return false;
  *text = line.substr(*at + 1, end - *at - 1);
  *at = end + 1;
  return true;
}

// Takes ",field" at `at`; the field ends at the next comma (or the line's end when `last`).
bool TakeField(const std::string& line, std::size_t* at, std::string* field, bool last = false) {
  if (*at >= line.size() || line[*at] != ',') return false;
  const std::size_t end = last ? line.size() : line.find(',', *at + 1);
  if (end == std::string::npos) return false;
  *field = line.substr(*at + 1, end - *at - 1);
  *at = end;
  return true;
}

// Epoch seconds as ISO 8601; 0 (a ban taken over, or one that never ends) is null.
nlohmann::ordered_json TimeOrNull(const std::string& seconds) {
  const nlohmann::ordered_json value = NumberOrNull(seconds);
  if (!value.is_number() || value.get<long long>() <= 0) return nullptr;
  return IsoTime(static_cast<std::time_t>(value.get<long long>()));
}

}  // namespace

nlohmann::ordered_json BansJson(const std::string& content) {
  nlohmann::ordered_json bans = nlohmann::ordered_json::array();
  for (const std::string& line : Lines(content)) {
    std::size_t at = 0;
    std::string name, address, keyhash, guid, admin, start, end, reason;
    if (!TakeQuoted(line, &at, &name) || !TakeField(line, &at, &address) ||
        !TakeField(line, &at, &keyhash) || !TakeField(line, &at, &guid) || line[at] != ',' ||
        !TakeQuoted(line, &++at, &admin) || !TakeField(line, &at, &start) ||
        !TakeField(line, &at, &end) || !TakeField(line, &at, &reason, true)) {
      continue;
    }
    bans.push_back({{"name", name},
                    {"address", TextOrNull(address)},
                    {"keyhash", TextOrNull(keyhash)},
                    {"guid", TextOrNull(guid)},
                    {"admin", admin},
                    {"start", NumberOrNull(start)},
                    {"start_iso", TimeOrNull(start)},
                    {"end", NumberOrNull(end)},
                    {"end_iso", TimeOrNull(end)},
                    {"reason", reason}});
  }
  return bans;
}

nlohmann::ordered_json ScheduleJson(const std::string& content) {
  constexpr std::size_t kEventFields = 6;
  nlohmann::ordered_json events = nlohmann::ordered_json::array();
  for (const std::string& line : Lines(content)) {
    std::vector<std::string> f;
    std::size_t at = 0;
    while (f.size() + 1 < kEventFields) {
      const std::size_t comma = line.find(',', at);
      if (comma == std::string::npos) break;
      f.push_back(line.substr(at, comma - at));
      at = comma + 1;
    }
    if (f.size() + 1 != kEventFields) continue;
    f.push_back(line.substr(at));
    const nlohmann::ordered_json time = NumberOrNull(f[0]);
    if (!time.is_number()) continue;
    events.push_back({{"time", time},
                      {"time_iso", TimeOrNull(f[0])},
                      {"action", f[1]},
                      {"days", f[2]},
                      {"settings", TextOrNull(f[3])},
                      {"maplist", TextOrNull(f[4])},
                      {"enabled", std::strtol(f[5].c_str(), nullptr, 10) != 0}});
  }
  return events;
}

std::string BanText(const BanFields& b) {
  std::string text;
  for (const std::string* field :
       {&b.id, &b.name, &b.address, &b.keyhash, &b.guid, &b.duration, &b.reason}) {
    text += *field;
    text += kBanFieldEnd;
  }
  return text;
}

}  // namespace keldorclient
