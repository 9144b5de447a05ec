// Reading the texts and lists Keldor sends (status text, player and ban
// lists) and building the texts of the requests that carry several fields.
#pragma once

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

// Keldor writes "*" for an empty field; in JSON that is null.
nlohmann::ordered_json TextOrNull(const std::string& text);
nlohmann::ordered_json NumberOrNull(const std::string& text);
// The player list: "NAME",id,team,score,kills,deaths,ping,address,keyhash,GUID.
nlohmann::ordered_json PlayersJson(const std::string& content);
// Keldor's ban list: "NAME",address,keyhash,guid,"ADMIN",start,end,reason.
nlohmann::ordered_json BansJson(const std::string& content);

// The fields of a ban request; each is followed by the byte 0xFF on the wire.
struct BanFields {
  std::string id, name, duration, reason;
  std::string address = "[unknown]", keyhash = "[unknown]", guid = "[unknown]";
};
constexpr char kBanFieldEnd = static_cast<char>(0xFF);
std::string BanText(const BanFields& ban);

}  // namespace keldorclient
