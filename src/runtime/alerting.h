// What an operator who is not connected should hear of: the game server
// crashed, was restarted, hung or was given up; a client or the schedule
// started or stopped it; a player was banned; someone knocked on the door.
// The subsystem where it happens raises the alert; whoever delivers alerts
// (webhooks) and counts them (the metrics) is connected at start-up.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace keldor {

enum class AlertKind {
  kCrashed,      // the game server's process vanished
  kRestarted,    // ... and was started again
  kRestartLoop,  // ... so often that supervision was given up
  kHung,         // its process lives, its console and status query are silent
  kStopped,      // by a client or the schedule
  kStarted,      // likewise
  kAutoKick,     // Keldor's own policing
  kAutoBan,
  kBan,               // by a client (or an in-game admin)
  kSecurity,          // a refused request, a login lock-out
  kFleetUnreachable,  // the fleet's database stopped answering
  kRollback,          // a bad upload was undone
  kTest,              // asked for by an administrator
};
constexpr std::size_t kAlertKinds = 13;

struct AlertReport {
  AlertKind kind = AlertKind::kTest;
  // One sentence for people, as a chat message shows it: "Server has crashed."
  std::string text;
  // Name and value pairs for those who parse: {"player", "HotFox69"}, {"by", "admin"}.
  std::vector<std::pair<std::string, std::string>> fields;
};

using AlertHook = void (*)(const AlertReport& report);

// Sets the one receiver, or none with null. Wiring, not state (see ConnectSubsystems).
void ConnectAlerts(AlertHook hook);

// Hands the report to the receiver, if there is one.
void RaiseAlert(const AlertReport& report);

// The kind's name in the alerts file and in the json payload: "crashed",
// "restarted", "restart_loop", "hung", "stopped", "started", "auto_kick",
// "auto_ban", "ban", "security", "fleet_unreachable", "rollback", "test".
const char* AlertKindName(AlertKind kind);
std::optional<AlertKind> AlertKindFromName(std::string_view name);

}  // namespace keldor
