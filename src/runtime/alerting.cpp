// Alerts raised by the subsystems: see alerting.h.
#include "runtime/alerting.h"

#include <array>

namespace keldor {

namespace {

AlertHook g_alerts = nullptr;

constexpr std::array<const char*, kAlertKinds> kNames = {
    "crashed",           "restarted", "restart_loop", "hung", "stopped",
    "started",           "auto_kick", "auto_ban",     "ban",  "security",
    "fleet_unreachable", "rollback",  "test"};

}  // namespace

void ConnectAlerts(AlertHook hook) {
  g_alerts = hook;
}

void RaiseAlert(const AlertReport& report) {
  if (g_alerts != nullptr) g_alerts(report);
}

const char* AlertKindName(AlertKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  return index < kNames.size() ? kNames[index] : "unknown";
}

std::optional<AlertKind> AlertKindFromName(std::string_view name) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (name == kNames[i]) return static_cast<AlertKind>(i);
  }
  return std::nullopt;
}

}  // namespace keldor
