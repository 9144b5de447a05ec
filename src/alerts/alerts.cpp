// Webhook delivery: see alerts.h.
#include "alerts/alerts.h"

namespace keldor {

void LoadAlerts() {}
void QueueAlert(const AlertReport&) {}
int SendTestAlert(const std::string&) {
  return 0;
}
void AddAlertSockets(fd_set&, fd_set&, int&) {}
long long UntilAlertTimer(long long most) {
  return most;
}
void ServeAlerts() {}
void StopAlerts() {}
AlertTally AlertCounts() {
  return {};
}

}  // namespace keldor
