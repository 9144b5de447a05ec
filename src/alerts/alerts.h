// Alerts to webhooks: the targets of alerts.con in the settings directory,
// each a URL, a payload format (discord, slack, ntfy, json) and the kinds it
// wants; delivered with libcurl's multi interface from the main loop, never
// waiting on a target.
#pragma once

#include <sys/select.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/alerting.h"

namespace keldor {

// Reads alerts.con when it is new or has changed since the last call (start-up
// and every monitor pass); a file that cannot be read leaves no targets.
void LoadAlerts();

// The receiver of RaiseAlert: queues the report for every target that wants its kind.
void QueueAlert(const AlertReport& report);

// A test alert to every target, on behalf of `account`; the number of targets.
int SendTestAlert(const std::string& account);

// The loop's share: the sockets of deliveries under way, how long the loop may
// wait before ServeAlerts is due (milliseconds, at most `most`), and the work.
void AddAlertSockets(fd_set& read, fd_set& write, int& top);
long long UntilAlertTimer(long long most);
void ServeAlerts();
// At exit: deliveries under way are given up (logged with their number).
void StopAlerts();

struct AlertTally {
  std::uint64_t sent = 0;     // messages a target accepted
  std::uint64_t failed = 0;   // attempts that failed (each retry counts)
  std::uint64_t dropped = 0;  // messages given up: retries spent, queue full, rate limit
};
AlertTally AlertCounts();

// Tests and the fuzz target: the bodies waiting for the target named
// `target`, the one under way first; and how long until its next attempt may
// start (milliseconds, negative when it may now).
std::vector<std::string> PendingAlertBodies(const std::string& target);
long long AlertTargetDueIn(const std::string& target);

}  // namespace keldor
