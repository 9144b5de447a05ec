// alerts.con as Keldor reads it (the parser, then the file itself through
// LoadAlerts), and every format's payload for a report made of the same
// hostile bytes: no crash, no payload past its bound, nothing but valid UTF-8.
// Nothing is sent: the loop's delivery is never run here.
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "alerts/alert_payloads.h"
#include "alerts/alert_targets.h"
#include "alerts/alerts.h"
#include "core/helpers.h"
#include "fuzz_support.h"
#include "settings/settings.h"

namespace {

using namespace keldor;

constexpr std::size_t kPayloadBound = 64 * 1024;

bool WebAddress(const std::string& url) {
  const std::string scheme = ToLower(url.substr(0, 8));
  return scheme.starts_with("http://") || scheme == "https://";
}

void CheckUtf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t n = Utf8SequenceLength(text);
    if (n == 0) std::abort();
    text.remove_prefix(n);
  }
}

// One line of valid UTF-8 within its bound; a json body that parses.
void CheckPayload(AlertFormat format, const AlertPayload& payload) {
  CheckUtf8(payload.body);
  if (format == AlertFormat::kNtfy) {
    if (payload.body.size() > kAlertTextMax) std::abort();
    if (payload.body.find_first_of("\r\n") != std::string::npos) std::abort();
    for (const std::string& header : payload.headers) {
      if (header.find_first_of("\r\n") != std::string::npos) std::abort();
    }
    return;
  }
  // Escaping can grow the texts (5 bytes for Slack's "&amp;"), never past this.
  if (payload.body.size() > kPayloadBound) std::abort();
  if (!nlohmann::json::accept(payload.body)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FreshState();
  const std::string input(reinterpret_cast<const char*>(data), size);

  const AlertsFile parsed = ParseAlertsFile(input, fuzz::WorkDir() + "/settings");
  if (parsed.targets.size() > kAlertTargetsMax) std::abort();
  for (const AlertTarget& target : parsed.targets) {
    if (!WebAddress(target.url) || target.headers.size() > kAlertHeadersMax) std::abort();
  }

  fuzz::WriteBytes(fuzz::SettingsPath("alerts.con"), data, size);
  LoadAlerts();

  // The same bytes as the server's name, a report's text and its fields.
  Row(Setting::ServerName).text = CutToWidth(input, kSettingTextMax);
  const AlertReport report{AlertKind::kBan, input, {{input, input}, {"by", input}}};
  for (const AlertFormat format :
       {AlertFormat::kDiscord, AlertFormat::kSlack, AlertFormat::kNtfy, AlertFormat::kJson}) {
    CheckPayload(format, BuildAlertPayload(format, report, {input, 0, 3, 0}));
  }
  QueueAlert(report);
  return 0;
}
