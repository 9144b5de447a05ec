// Keldor's metrics in the Prometheus text format: the file named by -metrics,
// rewritten on every monitor pass, and the reply to REQ_GET_METRICS.
#pragma once

#include <string>

#include "runtime/alerting.h"

namespace keldor {

// Counts what the alerts tell of (crashes, restarts, hangs, rollbacks).
void CountAlert(const AlertReport& report);

// The whole text, every metric with its HELP and TYPE lines.
std::string MetricsText();

// Rewrites the -metrics file (written beside it, then renamed over it); nothing without -metrics.
void WriteMetricsFile();

}  // namespace keldor
