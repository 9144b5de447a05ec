// The alerts file's parser: see alert_targets.h.
#include "alerts/alert_targets.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "core/helpers.h"

namespace keldor {

namespace {

constexpr std::array<const char*, 4> kFormatNames = {"discord", "slack", "ntfy", "json"};
// Headers that libcurl writes from the request itself: one given by hand could
// contradict the body it frames.
constexpr std::array<const char*, 4> kManagedHeaders = {"host", "content-length",
                                                        "transfer-encoding", "expect"};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The words of a line, and where each begins (for the rest-of-line fields).
struct Words {
  std::vector<std::string_view> words;
  std::vector<std::size_t> starts;
};

Words SplitWords(std::string_view line) {
  Words out;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at >= line.size()) break;
    const std::size_t start = at;
    while (at < line.size() && !IsBlank(line[at])) ++at;
    out.words.push_back(line.substr(start, at - start));
    out.starts.push_back(start);
  }
  return out;
}

std::string_view TrimEnd(std::string_view text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool ValidName(std::string_view name) {
  if (name.empty() || name.size() > kAlertTargetNameMax) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

std::optional<AlertFormat> FormatFromName(std::string_view name) {
  for (std::size_t i = 0; i < kFormatNames.size(); ++i) {
    if (name == kFormatNames[i]) return static_cast<AlertFormat>(i);
  }
  return std::nullopt;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const char c = text[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != prefix[i]) return false;
  }
  return true;
}

// Only plain web addresses: printable ASCII after an http or https scheme and a host.
bool ValidUrl(std::string_view url) {
  if (url.size() > kAlertUrlMax) return false;
  std::size_t schemeEnd = 0;
  if (StartsWithNoCase(url, "https://")) {
    schemeEnd = 8;
  } else if (StartsWithNoCase(url, "http://")) {
    schemeEnd = 7;
  } else {
    return false;
  }
  if (url.size() == schemeEnd || url[schemeEnd] == '/') return false;
  return std::all_of(url.begin(), url.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7F;
  });
}

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// "Field: value", the field a token that libcurl does not manage itself.
bool ValidHeader(std::string_view header) {
  const std::size_t colon = header.find(':');
  if (colon == 0 || colon == std::string_view::npos || header.size() > kAlertHeaderMax) {
    return false;
  }
  const std::string_view field = header.substr(0, colon);
  if (!std::all_of(field.begin(), field.end(), IsTokenChar)) return false;
  const std::string lower = ToLower(std::string(field));
  return std::none_of(kManagedHeaders.begin(), kManagedHeaders.end(),
                      [&](const char* managed) { return lower == managed; });
}

class Parser {
 public:
  Parser(AlertsFile& out, const std::string& settingsDir) : out_(out), settingsDir_(settingsDir) {}

  void Line(int number, std::string_view line) {
    number_ = number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (std::any_of(line.begin(), line.end(), [](char c) {
          const auto byte = static_cast<unsigned char>(c);
          return (byte < 0x20 && c != '\t') || byte == 0x7F;
        })) {
      return Refuse("it holds a control character");
    }
    const Words w = SplitWords(line);
    if (w.words.empty() || w.words[0].starts_with('#')) return;
    const std::string_view keyword = w.words[0];
    if (keyword == "target") return Target(w);
    if (keyword == "header" || keyword == "ca") return Option(keyword == "ca", line, w);
    Refuse("it is neither a target, a header nor a ca line");
  }

  void Refuse(std::string reason) { out_.problems.push_back({number_, std::move(reason)}); }

 private:
  void Target(const Words& w) {
    if (w.words.size() < 4 || w.words.size() > 5) {
      return Refuse("a target line is: target NAME FORMAT URL [KINDS]");
    }
    if (!ValidName(w.words[1])) {
      return Refuse("a target's name is 1 to 32 letters, digits, '-', '_' or '.'");
    }
    const std::string name(w.words[1]);
    if (Find(name) != nullptr) return Refuse("target " + name + " is named twice");
    if (out_.targets.size() >= kAlertTargetsMax) {
      return Refuse("target " + name + " is one more than the " + std::to_string(kAlertTargetsMax) +
                    " a file may hold");
    }
    const std::optional<AlertFormat> format = FormatFromName(w.words[2]);
    if (!format) return Refuse("target " + name + " has no format discord, slack, ntfy or json");
    if (!ValidUrl(w.words[3])) {
      return Refuse("target " + name +
                    "'s URL is no http:// or https:// address of at most 1024 characters");
    }
    AlertTarget target{name, *format, std::string(w.words[3]), {}, {}, {}};
    if (w.words.size() == 4 || w.words[4] == "all") {
      target.kinds.set();
    } else {
      for (const std::string& kind : Split(std::string(w.words[4]), ',')) {
        const std::optional<AlertKind> known = AlertKindFromName(kind);
        if (!known) return Refuse("target " + name + " names a kind of alert that is not known");
        target.kinds.set(static_cast<std::size_t>(*known));
      }
    }
    out_.targets.push_back(std::move(target));
  }

  // `header NAME Field: value` and `ca NAME PATH`: the rest of the line is the value.
  void Option(bool ca, std::string_view line, const Words& w) {
    const char* usage =
        ca ? "a ca line is: ca NAME PATH" : "a header line is: header NAME Field: value";
    if (w.words.size() < 3) return Refuse(usage);
    if (!ValidName(w.words[1])) return Refuse(usage);
    AlertTarget* target = Find(std::string(w.words[1]));
    if (target == nullptr) {
      return Refuse("it names no target of a line above it");
    }
    const std::string_view value = TrimEnd(line.substr(w.starts[2]));
    if (ca) {
      if (!target->caFile.empty()) return Refuse("target " + target->name + " has a ca already");
      target->caFile =
          value.starts_with('/') ? std::string(value) : settingsDir_ + "/" + std::string(value);
      return;
    }
    if (target->headers.size() >= kAlertHeadersMax) {
      return Refuse("target " + target->name + " has " + std::to_string(kAlertHeadersMax) +
                    " headers already");
    }
    if (!ValidHeader(value)) {
      return Refuse("target " + target->name +
                    " is given a header that is not \"Field: value\" or that libcurl sets itself");
    }
    target->headers.emplace_back(value);
  }

  AlertTarget* Find(const std::string& name) {
    for (AlertTarget& t : out_.targets) {
      if (t.name == name) return &t;
    }
    return nullptr;
  }

  AlertsFile& out_;
  const std::string& settingsDir_;
  int number_ = 0;
};

}  // namespace

AlertsFile ParseAlertsFile(std::string_view text, const std::string& settingsDir) {
  AlertsFile out;
  Parser parser(out, settingsDir);
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    if (line.size() > kAlertsLineMax) {
      out.problems.push_back(
          {number, "it is longer than " + std::to_string(kAlertsLineMax) + " characters"});
      continue;
    }
    parser.Line(number, line);
  }
  return out;
}

const char* AlertFormatName(AlertFormat format) {
  const auto index = static_cast<std::size_t>(format);
  return index < kFormatNames.size() ? kFormatNames[index] : "unknown";
}

}  // namespace keldor
