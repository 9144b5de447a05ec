// The webhook payloads: see alert_payloads.h.
#include "alerts/alert_payloads.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/helpers.h"

namespace keldor {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kEllipsis = "...";

std::string Utc(std::time_t t, const char* format) {
  std::tm utc{};
  char text[40] = "";
  if (gmtime_r(&t, &utc) != nullptr) std::strftime(text, sizeof text, format, &utc);
  return text;
}

std::string Rfc3339(std::time_t t) {
  return Utc(t, "%Y-%m-%dT%H:%M:%SZ");
}

// C0 and C1 controls, DEL, and the Unicode line and paragraph separators: each
// would break a chat line (or a header) where it stands.
bool BreaksLine(std::string_view sequence) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(sequence[k]); };
  if (sequence.size() == 1) return byte(0) < 0x20 || byte(0) == 0x7F;
  if (sequence.size() == 2) return byte(0) == 0xC2 && byte(1) < 0xA0;
  return sequence.size() == 3 && byte(0) == 0xE2 && byte(1) == 0x80 &&
         (byte(2) == 0xA8 || byte(2) == 0xA9);
}

std::string Server(const AlertContext& context) {
  const std::string name = AlertLine(context.server, kAlertTitleMax);
  return name.empty() ? "Keldor" : "Keldor " + name;
}

// Slack reads &, < and > as markup ("<!channel>" pings everyone): they are escaped.
std::string SlackEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[(value >> 18) & 63];
    out += kDigits[(value >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(value >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[value & 63] : '=';
  }
  return out;
}

// A header value of printable ASCII as it is; anything else as an RFC 2047
// encoded word, which ntfy decodes.
std::string HeaderValue(const std::string& text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
    return text;
  }
  return "=?UTF-8?B?" + Base64(text) + "?=";
}

const char* NtfyPriority(AlertKind kind) {
  switch (kind) {
    case AlertKind::kRestartLoop:
      return "urgent";
    case AlertKind::kCrashed:
    case AlertKind::kHung:
    case AlertKind::kRollback:
    case AlertKind::kFleetUnreachable:
    case AlertKind::kSecurity:
      return "high";
    default:
      return "default";
  }
}

std::string Dump(const Json& document) {
  // The texts are valid UTF-8 already; replace is the last guard, not the plan.
  return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json Fields(const AlertReport& report) {
  Json fields = Json::object();
  const std::size_t count = std::min(report.fields.size(), kAlertFieldsMax);
  for (std::size_t i = 0; i < count; ++i) {
    fields[AlertLine(report.fields[i].first, kAlertFieldKeyMax)] =
        AlertLine(report.fields[i].second, kAlertFieldValueMax);
  }
  return fields;
}

}  // namespace

std::string AlertLine(std::string_view text, std::size_t max) {
  std::string out;
  std::size_t cutAt = 0;  // the last sequence boundary with room for the ellipsis after it
  while (!text.empty()) {
    if (out.size() + kEllipsis.size() <= max) cutAt = out.size();
    const std::size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      const auto byte = static_cast<unsigned char>(text[0]);
      AppendLatin1AsUtf8(out, byte < 0xA0 ? ' ' : byte);
      text.remove_prefix(1);
    } else {
      const std::string_view sequence = text.substr(0, length);
      if (BreaksLine(sequence)) {
        out += ' ';
      } else {
        out += sequence;
      }
      text.remove_prefix(length);
    }
    if (out.size() > max) {
      out.resize(max >= kEllipsis.size() ? cutAt : 0);
      out += kEllipsis.substr(0, std::min(max, kEllipsis.size()));
      return out;
    }
  }
  return out;
}

std::string AlertSentence(const AlertReport& report, const AlertContext& context) {
  std::string text = report.text;
  if (context.more > 0) {
    text += " (and " + std::to_string(context.more) + " more since " +
            Utc(context.since, "%H:%M UTC") + ")";
  }
  return text;
}

AlertPayload BuildAlertPayload(AlertFormat format, const AlertReport& report,
                               const AlertContext& context) {
  const std::string sentence = AlertSentence(report, context);
  const char* kind = AlertKindName(report.kind);
  const std::string json = "Content-Type: application/json";
  switch (format) {
    case AlertFormat::kDiscord: {
      // No mention in the text pings anyone: a player may be named "@everyone".
      const Json document = {
          {"content", AlertLine(Server(context) + ": " + sentence, kAlertTextMax)},
          {"allowed_mentions", {{"parse", Json::array()}}}};
      return {Dump(document), {json}};
    }
    case AlertFormat::kSlack: {
      const std::string text = AlertLine(Server(context) + ": " + sentence, kAlertTextMax);
      return {Dump(Json{{"text", SlackEscaped(text)}}), {json}};
    }
    case AlertFormat::kNtfy: {
      const std::string title = AlertLine(Server(context) + ": " + kind, kAlertTitleMax);
      return {AlertLine(sentence, kAlertTextMax),
              {"Content-Type: text/plain; charset=utf-8", "Title: " + HeaderValue(title),
               std::string("Priority: ") + NtfyPriority(report.kind),
               std::string("Tags: keldor,") + kind}};
    }
    case AlertFormat::kJson:
      break;
  }
  Json document = {{"kind", kind},
                   {"server", AlertLine(context.server, kAlertTitleMax)},
                   {"time", Rfc3339(context.time)},
                   {"text", AlertLine(sentence, kAlertTextMax)},
                   {"fields", Fields(report)}};
  if (context.more > 0) {
    document["more"] = context.more;
    document["since"] = Rfc3339(context.since);
  }
  return {Dump(document), {json}};
}

}  // namespace keldor
