// The webhook targets of alerts.con: one `target` line each (name, payload
// format, URL, the kinds it wants), with optional `header` and `ca` lines
// naming it. The file holds tokens: nothing read from it but a target's name
// ever reaches the log.
#pragma once

#include <bitset>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/alerting.h"

namespace keldor {

constexpr const char* kAlertsFileName = "alerts.con";
// Bounds on what the file may make us hold.
constexpr std::size_t kAlertTargetsMax = 16;
constexpr std::size_t kAlertsFileMax = 64 * 1024;
constexpr std::size_t kAlertsLineMax = 2048;
constexpr std::size_t kAlertUrlMax = 1024;
constexpr std::size_t kAlertTargetNameMax = 32;
constexpr std::size_t kAlertHeadersMax = 8;
constexpr std::size_t kAlertHeaderMax = 1024;

enum class AlertFormat { kDiscord, kSlack, kNtfy, kJson };

struct AlertTarget {
  std::string name;  // letters, digits, '-', '_' and '.': safe to log
  AlertFormat format = AlertFormat::kJson;
  std::string url;                   // http:// or https:// only
  std::bitset<kAlertKinds> kinds;    // what it wants (a test reaches it regardless)
  std::vector<std::string> headers;  // "Name: value", sent as given
  std::string caFile;                // extra CA bundle for its TLS; empty: the system's alone
};

// A line that was refused: its number and why, in words that quote nothing of it.
struct AlertsFileProblem {
  int line = 0;
  std::string reason;
};

struct AlertsFile {
  std::vector<AlertTarget> targets;
  std::vector<AlertsFileProblem> problems;
};

// Parses the file's text. A broken line is reported and skipped, the others
// kept; a relative `ca` path is taken from `settingsDir`.
AlertsFile ParseAlertsFile(std::string_view text, const std::string& settingsDir);

const char* AlertFormatName(AlertFormat format);

}  // namespace keldor
