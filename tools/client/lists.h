// Reading the texts and lists Keldor sends (status text, player and ban
// lists) and building the texts of the requests that carry several fields.
#pragma once

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace keldorclient {

// The non-empty lines of a file, without their line ends.
std::vector<std::string> Lines(const std::string& content);
// A line of the player or client list: the name in double quotes, then
// `count` comma-separated fields. The name may hold commas and quotes of its
// own, the fields do not, so they are taken from the right.
bool SplitListLine(std::string line, std::size_t count, std::string* name,
                   std::vector<std::string>* fields);
// The status text's 19 fields; the last crash reads "never" when there has been none.
std::vector<std::string> SplitStatus(const std::string& text);
constexpr std::size_t kStatusFields = 19;
extern const char* const kStatusKeys[kStatusFields];    // JSON keys
extern const char* const kStatusLabels[kStatusFields];  // what a person reads

// Keldor writes "*" for an empty field and "[unknown]" (the status text "??"
// or "--") for a value it does not know; in JSON these are null.
bool IsUnknown(const std::string& text);
nlohmann::ordered_json TextOrNull(const std::string& text);
nlohmann::ordered_json NumberOrNull(const std::string& text);
// A whole decimal number as a number, an unknown value as null, else the text.
nlohmann::ordered_json ValueOf(const std::string& text);
// The status text's fields as one object; "15 of 32" players become the
// numbers "players" and "max_players".
nlohmann::ordered_json StatusJson(const std::vector<std::string>& fields);

// Times: Keldor's ctime texts (the client list) as epoch seconds, and epoch
// seconds as a person reads them (local) or as ISO 8601 (UTC) for JSON.
bool ParseCtime(const std::string& text, std::time_t* when);
std::string LocalTimeText(std::time_t when);
std::string IsoTime(std::time_t when);
// The player list: "NAME",id,team,score,kills,deaths,ping,address,keyhash,GUID.
nlohmann::ordered_json PlayersJson(const std::string& content);
// Keldor's ban list: "NAME",address,keyhash,guid,"ADMIN",start,end,reason.
// The times stay epoch seconds, with ISO 8601 beside them (null for 0).
nlohmann::ordered_json BansJson(const std::string& content);

// The schedule: time,action,days,settings,maplist,enabled per line. The time
// stays epoch seconds with ISO 8601 beside it; "*" paths are null.
nlohmann::ordered_json ScheduleJson(const std::string& content);

// The fields of a ban request; each is followed by the byte 0xFF on the wire.
struct BanFields {
  std::string id, name, duration, reason;
  std::string address = "[unknown]", keyhash = "[unknown]", guid = "[unknown]";
};
constexpr char kBanFieldEnd = static_cast<char>(0xFF);
std::string BanText(const BanFields& ban);

}  // namespace keldorclient
