// What one alert becomes for one webhook target: the request body and the
// headers of its format. Texts may hold any bytes (player names come from the
// game in Latin-1): every payload is valid UTF-8, one line of text, bounded in
// length, and built so that a name cannot ping a channel or forge markup.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "alerts/alert_targets.h"
#include "runtime/alerting.h"

namespace keldor {

// The text of a chat message: Discord takes at most 2000 characters.
constexpr std::size_t kAlertTextMax = 2000;
// The ntfy title, before encoding.
constexpr std::size_t kAlertTitleMax = 120;
// The json format's fields: how many, and each key's and value's length.
constexpr std::size_t kAlertFieldsMax = 16;
constexpr std::size_t kAlertFieldKeyMax = 64;
constexpr std::size_t kAlertFieldValueMax = 512;

// What surrounds the report: the game server's name, when it was raised
// (wall clock), and the reports of its kind held back before it by the rate
// limit (`more`, the first of them at `since`).
struct AlertContext {
  std::string server;
  std::time_t time = 0;
  int more = 0;
  std::time_t since = 0;
};

struct AlertPayload {
  std::string body;
  std::vector<std::string> headers;  // "Field: value"
};

AlertPayload BuildAlertPayload(AlertFormat format, const AlertReport& report,
                               const AlertContext& context);

// `text` as valid UTF-8 on one line, at most `max` bytes: a byte that starts
// no well-formed sequence is read as Latin-1, every control character becomes
// a blank, and a text cut short ends in "...".
std::string AlertLine(std::string_view text, std::size_t max);

// The report's sentence with what the rate limit held back: "Server has
// crashed. (and 4 more since 04:01 UTC)".
std::string AlertSentence(const AlertReport& report, const AlertContext& context);

}  // namespace keldor
